# The large-folder suite's plot: time to all badges and CPU at rest against folder size, each beside its floor
# and its goal. Variables: data (the suite's --plot-data file) and output (the PNG).
set terminal pngcairo size 1200,500 font "sans,10"
set output output
set multiplot layout 1,2
set logscale x
set xrange [70:150000]
set xlabel "entries in the folder"
set grid

set title "Time to all badges"
set key bottom right
set logscale y
set ylabel "seconds"
set format y "%g"
plot data using 1:2 with linespoints lw 2 pt 7 title "stand-in and service, end to end", \
     data using 1:5 with linespoints dt 2 pt 6 title "batches of one path (client exchange)", \
     data using 1:3 with linespoints dt 3 pt 4 title "floor: bare exchanges of the same batches", \
     0.03 with lines dt 4 lc rgb "gray40" title "floor: 30 ms flush timer", \
     "-" using 1:2 with points pt 9 ps 2 lc rgb "red" title "goal"
10000 0.3
50000 1.5
e

# With service=1 (a run with --through-service) the process measured is the session service, whose goals are
# lower at 10,000 and 50,000 entries.
through = exists("service") && service
set title (through ? "CPU of the session service at rest, folder shown (30 s window)" : "CPU of the stand-in at rest, folder shown (30 s window)")
set key top left
unset logscale y
set ylabel "% of one core"
set yrange [0:*]
set table $goals
plot "-" using 1:(through ? $3 : $2) with table
1000 1 1
10000 3 2
50000 10 8
e
unset table
plot data using 1:6 with linespoints lw 2 pt 7 title "measured", \
     data using 1:7 with linespoints dt 3 pt 4 title "floor: its exchanges as bare exchanges", \
     $goals using 1:2 with points pt 9 ps 2 lc rgb "red" title "goal (below)"
unset multiplot
