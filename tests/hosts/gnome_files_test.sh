#!/usr/bin/env bash
# The module in a real GNOME Files, headless: one Nautilus session under Xvfb, in private namespaces, driven
# through its phases, each checked against the boundary trace (VANTORIX_TRACE), the module's counters
# (VANTORIX_NAUTILUS_STATS), Nautilus's own bus names and a screenshot. Prints the figures it measures.
# The extension program writes five lines of garbage before each start (garbage-then-finder.sh): the module
# drops them and Nautilus never notices.
#
#   gnome_files_test.sh BUILD_DIR
#
# Exit code 77 (skipped) only where the packages are missing; scripts/setup installs them.
set -u
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/gnome-files-session.sh"
missing=$(session_missing_tools)
[ -z "$missing" ] || { echo "skipped: $missing missing (scripts/setup installs them)"; exit 77; }
session_enter_namespaces "$0" "$@"

failures=0
check() {  # DESCRIPTION COMMAND...: one check, reported
  if "${@:2}"; then echo "ok      $1"; else echo "FAILED  $1"; failures=$((failures + 1)); fi
}
figure() { echo "figure  $*"; }
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
at_most() { awk -v x="$1" -v limit="$2" 'BEGIN { exit !(x >= 0 && x <= limit) }'; }
# Runs COMMAND every 50 ms until it succeeds or LIMIT seconds pass; prints the seconds it took (-1: never).
wait_for() {
  local limit=$1 start=$EPOCHREALTIME
  shift
  until "$@"; do
    at_most "$(since "$start")" "$limit" || { echo -1; return 1; }
    sleep 0.05
  done
  since "$start"
}
lines() { wc -l < "$VANTORIX_TRACE"; }
traced_after() {  # FROM CALL PATH: the trace has the call for the path after line FROM
  tail -n +"$(($1 + 1))" "$VANTORIX_TRACE" | grep -F "\"call\":\"$2\"" | grep -qF "\"path\":\"$3\""
}
all_bare() { ! session_entry_badges "$1" | awk -F'\t' '$2 != "" { found = 1 } END { exit !found }'; }
nautilus_alive() { kill -0 "$session_nautilus" 2>/dev/null; }
fm() {  # METHOD ARGS...: a call to GNOME Files' org.freedesktop.FileManager1
  gdbus call --session --dest org.freedesktop.FileManager1 --object-path /org/freedesktop/FileManager1 --method "$@"
}
open_locations() { fm org.freedesktop.DBus.Properties.Get org.freedesktop.FileManager1 OpenLocations; }
shows() { open_locations | grep -qF "'file://$1'"; }
window_showing() {  # DIR: the bus path of the window that shows DIR
  fm org.freedesktop.DBus.Properties.Get org.freedesktop.FileManager1 OpenWindowsWithLocations |
    grep -oE "'/org/gnome/Nautilus/window/[0-9]+': \['file://$1'\]" | cut -d"'" -f2
}
window_action() {
  gdbus call --session --dest org.gnome.Nautilus --object-path "$1" --method org.gtk.Actions.Activate "$2" [] {} >/dev/null
}

work=$(mktemp -d /tmp/vantorix-gnome-files.XXXXXX)
export VANTORIX_TRACE="$work/trace.jsonl"
trap 'session_stop; [ -n "${VANTORIX_KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
"$here/../../scripts/sample-folder" "$work"
root="$work/Vantorix"
mkdir -p "$root/Many" "$root/odd-names"
(cd "$root/Many" && seq -f "file-%05g.txt" 1 10000 | xargs touch)
touch "$root/odd-names/fine.txt" "$root/odd-names/pipe|name.txt" "$root/odd-names/line"$'\n'"break.txt"
session_start "$work" "$build" || exit 1
export VANTORIX_EXTENSION_PROGRAM="$here/garbage-then-finder.sh" VANTORIX_REAL_FINDER="$build/bin/vantorix-finder"
session_start_service "$root" "$work/statuses"

echo "--- GNOME Files started on the sample folder"
started=$EPOCHREALTIME
session_start_nautilus "$root" || exit 1
wait_for 5 shows "$root" >/dev/null
window_at=$(since "$started")
wait_for 10 session_all_badged "$root" >/dev/null
all_at=$(since "$started")
took=$(awk -v a="$all_at" -v w="$window_at" 'BEGIN { printf "%.3f", a - w }')
figure "GNOME Files started: its window showed the folder after $window_at s, every item was badged after $all_at s"
# The extension asks the local service for the sync folder 3.0 s after it starts, and only then observes it.
check "every item badged within 4 s of the first window opening ($took s)" at_most "$took" 4

echo "--- a new window in the running GNOME Files"
folder="$root/Photos/2026"
from=$(lines)
started=$EPOCHREALTIME
nautilus --new-window "$folder" >/dev/null 2>&1
wait_for 5 shows "$folder" >/dev/null
window_at=$(since "$started")
took=$(wait_for 5 session_all_badged "$folder" "$from")
figure "a new window: it showed the folder $window_at s after the command, every item was badged $took s after that"
check "every item of the new window's folder badged within 3 s of the window opening ($took s)" at_most "$took" 3
check "observing it began" traced_after "$from" beginObservingDirectory "$folder"
from=$(lines)
window_action "$(window_showing "$folder")" close-current-view
took=$(wait_for 1 traced_after "$from" endObservingDirectory "$folder")
check "the window closed: observing its folder ended within 1 s ($took s)" at_most "$took" 1
check "all seven badges among them" test "$(session_entry_badges "$root" | cut -f2 | sort -u | grep -c .)" -eq 7

echo "--- the screenshot"
sleep 1
session_screenshot "$work/shot.png"
while read -r badge pixels; do
  check "the $badge emblem's colour in the screenshot ($pixels pixels)" test "$pixels" -ge 10
done < <(session_badge_colours "$work/shot.png")

echo "--- a status change"
from=$(lines)
changed=$EPOCHREALTIME
echo "3 todo.txt" >> "$work/statuses"
took=$(wait_for 3 traced_after "$from" setBadgeIdentifier "$root/todo.txt")
check "the status-file change reached todo.txt's emblem within 3 s ($took s)" at_most "$took" 3
check "its new badge is error" test "$(session_entry_badges "$root" | awk -F'\t' '$1 == "todo.txt" { print $2 }')" = error
figure "a status-file change reached the emblem in $(since "$changed") s"

echo "--- nothing changing for 30 s"
wait_for 15 grep -qF '"call":"setDirectoryURLs","urls":[]' "$VANTORIX_TRACE" >/dev/null  # the extension's repaint 10 s after its start
sleep 2
requests_before=$(grep -c requestBadgeIdentifier "$VANTORIX_TRACE") badges_before=$(grep -c setBadgeIdentifier "$VANTORIX_TRACE")
asked_before=$(session_stat updateFileInfo) sent_before=$(session_stat requestsSent)
connections() { awk '/^Tcp:/ { if (seen++) print $6 }' /proc/net/snmp; }  # TCP connections opened in this namespace
connections_before=$(connections)
sleep 30
exchanges=$(($(connections) - connections_before))
# One connection per exchange. 30 s hold at most 21 polling passes (one every 1.5 s, one batch each here), 7 sync
# folder queries (every 5 s: a PING and the query) and 4 availability checks (every 10 s).
figure "exchanges with the local service in 30 s with nothing changing: $exchanges"
check "the exchanges in 30 s are the periodic ones and nothing more ($exchanges, at most 39)" test "$exchanges" -le 39
check "no badge request in 30 s" test "$(grep -c requestBadgeIdentifier "$VANTORIX_TRACE")" -eq "$requests_before"
check "no badge set in 30 s" test "$(grep -c setBadgeIdentifier "$VANTORIX_TRACE")" -eq "$badges_before"
check "GNOME Files asked about no item in 30 s ($(session_stat updateFileInfo) asked, $asked_before before)" test "$(session_stat updateFileInfo)" -eq "$asked_before"
check "the module sent no request in 30 s" test "$(session_stat requestsSent)" -eq "$sent_before"

echo "--- ShowFolders, the old window closed, going up"
from=$(lines)
started=$EPOCHREALTIME
fm org.freedesktop.FileManager1.ShowFolders "['file://$root/Documents']" "" >/dev/null  # a new window
wait_for 5 shows "$root/Documents" >/dev/null
shown_at=$(since "$started")
took=$(wait_for 1 traced_after "$from" beginObservingDirectory "$root/Documents")
figure "ShowFolders: the new window showed the folder after $shown_at s, observing it began $took s after that"
check "ShowFolders to a subfolder: observing it began within 1 s of its window showing it ($took s)" at_most "$took" 1
from=$(lines)
window_action "$(window_showing "$root")" close-current-view
took=$(wait_for 1 traced_after "$from" endObservingDirectory "$root")
check "the old window closed: observing the old folder ended within 1 s ($took s)" at_most "$took" 1
from=$(lines)
window_action "$(window_showing "$root/Documents")" up
took=$(wait_for 1 eval 'traced_after $from beginObservingDirectory "$root" && traced_after $from endObservingDirectory "$root/Documents"')
check "going up in the same window: the sample folder observed and Documents no longer, within 1 s ($took s)" at_most "$took" 1
took=$(wait_for 3 session_all_badged "$root" "$from")
check "the sample folder's badges given afresh ($took s)" at_most "$took" 3

echo "--- names a request line cannot carry"
sent_before=$(session_stat requestsSent)
from=$(lines)
fm org.freedesktop.FileManager1.ShowFolders "['file://$root/odd-names']" "" >/dev/null
took=$(wait_for 3 traced_after "$from" setBadgeIdentifier "$root/odd-names/fine.txt")
check "fine.txt badged ($took s)" at_most "$took" 3
sleep 2
check "pipe|name.txt and the name with a line feed got no badge" test -z "$(session_entry_badges "$root/odd-names" | awk -F'\t' '$1 != "fine.txt" && $2 != ""')"
check "the module sent no request for them" test "$(session_stat requestsSent)" -eq "$sent_before"

echo "--- the service stalled: it accepts and never answers"
fm org.freedesktop.FileManager1.ShowFolders "['file://$root']" "" >/dev/null
kill -STOP "$session_service"
slowest=0
stall_end=$(awk -v t="$EPOCHREALTIME" 'BEGIN { printf "%.6f", t + 8 }')
folders=("$root/Documents" "$root")
calls=0
while awk -v e="$stall_end" -v n="$EPOCHREALTIME" 'BEGIN { exit !(n < e) }'; do
  start=$EPOCHREALTIME
  fm org.freedesktop.FileManager1.ShowFolders "['file://${folders[$((calls % 2))]}']" "" >/dev/null || slowest=99
  took=$(since "$start")
  awk -v a="$took" -v b="$slowest" 'BEGIN { exit !(a > b) }' && slowest=$took
  start=$EPOCHREALTIME
  open_locations >/dev/null || slowest=99
  took=$(since "$start")
  awk -v a="$took" -v b="$slowest" 'BEGIN { exit !(a > b) }' && slowest=$took
  calls=$((calls + 1))
  sleep 0.1
done
kill -CONT "$session_service"
figure "service stalled 8 s: $((calls * 2)) calls to GNOME Files, the slowest answered in $slowest s"
check "GNOME Files answered ShowFolders and property reads within 0.5 s throughout the stall" at_most "$slowest" 0.5
took=$(wait_for 15 session_all_badged "$root")
check "after the stall the sample folder is badged again ($took s)" at_most "$took" 15

echo "--- the service stopped and started again"
kill "$session_service"
took=$(wait_for 3 all_bare "$root")
check "emblems removed within 3 s of the service stopping ($took s)" at_most "$took" 3
from=$(lines)
session_start_service "$root" "$work/statuses"
took=$(wait_for 6 session_all_badged "$root" "$from")
check "emblems back within 6 s of the service starting again ($took s)" at_most "$took" 6

echo "--- the extension process killed"
pid=$(session_stat extensionPid) starts=$(session_stat extensionStarts)
from=$(lines)
kill -KILL "$pid"
killed=$EPOCHREALTIME
sleep 1
check "GNOME Files stays up" nautilus_alive
took=$(wait_for 8 session_all_badged "$root" "$from")
check "badges come back ($(since "$killed") s after the kill)" at_most "$took" 8
check "one new extension process" test "$(session_stat extensionStarts)" -eq $((starts + 1))

echo "--- a folder of 10,000 files"
emblems_before=$(session_stat emblemsAdded)
from=$(lines)
shown=$EPOCHREALTIME
fm org.freedesktop.FileManager1.ShowFolders "['file://$root/Many']" "" >/dev/null
many_badged() { [ "$(tail -n +"$((from + 1))" "$VANTORIX_TRACE" | grep -F '"call":"setBadgeIdentifier","badge":"success","path":"'"$root/Many/" | sort -u | wc -l)" -ge 10000 ]; }
many_drawn() { [ "$(($(session_stat emblemsAdded) - emblems_before))" -ge 10000 ]; }
poll_slowly() { sleep 0.2; "$@"; }  # the checks read a trace of megabytes: not too often, GNOME Files is working
traced=$(wait_for 60 poll_slowly many_badged)
drawn=$(wait_for 60 poll_slowly many_drawn)
figure "10,000 files: every badge set $traced s after ShowFolders; every emblem given to GNOME Files $(since "$shown") s after it"
check "all 10,000 files got their emblem" test "$drawn" != -1
longest=$(session_stat longestHoldMs)
figure "the longest the module held GNOME Files' main thread: $longest ms (in $(session_stat longestHoldIn)), over $(session_stat callbacks) callbacks; the longest wall-clock time of one, preemption included: $(session_stat longestWallMs) ms; the most CPU time one used: $(session_stat longestCpuMs) ms"
check "the module never held the main thread over 20 ms" at_most "$longest" 20

echo "--- garbage from the extension process"
check "every garbage line dropped: $(session_stat linesDropped) for $(session_stat extensionStarts) starts" test "$(session_stat linesDropped)" -eq $((5 * $(session_stat extensionStarts)))
check "and logged" grep -q "dropped a line from the extension process" "$work/nautilus.log"
check "GNOME Files still up" nautilus_alive

echo "--- nautilus -q"
pid=$(session_stat extensionPid)
nautilus -q
took=$(wait_for 5 eval '! nautilus_alive')
wait "$session_nautilus"
status=$?
session_nautilus=""
check "GNOME Files quit within 5 s ($took s), with status $status" test "$status" -eq 0 -a "$took" != -1
check "the extension process ended with it" wait_for 2 eval '! kill -0 '"$pid"' 2>/dev/null' >/dev/null

[ "$failures" -eq 0 ] && echo "all checks passed" || echo "$failures checks failed"
exit $((failures > 0))
