#!/usr/bin/env bash
# The module in a real GNOME Files, headless: one Nautilus session under Xvfb, in private namespaces, driven through
# the phases that are GNOME Files' own (its windows through its bus interface, ShowFolders, its first window with
# and without a running service, nautilus -q), each checked against the boundary trace (VANTORIX_TRACE), the
# module's counters, Nautilus's own bus names and a screenshot. Prints the figures it measures. The phases every
# host shares (a status change, the local and the session service going away, thousands of files, rest, quitting)
# are in hosts_session_test.sh, where GNOME Files runs beside the other file managers.
#
#   gnome_files_test.sh BUILD_DIR
#
# Exit code 77 (skipped) only where the packages are missing; scripts/setup installs them.
set -u
build="$(cd "$1" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/host-session.sh"
source "$here/checks.sh"
missing=$(session_missing_tools nautilus)
[ -z "$missing" ] || { echo "skipped: $missing missing (scripts/setup installs them)"; exit 77; }
[ -f "$build/hosts/nautilus/extensions/libvantorix-nautilus.so" ] || { echo "skipped: the GNOME Files module is not built"; exit 77; }
session_enter_namespaces "$0" "$@"

fm() {  # METHOD ARGS...: a call to this GNOME Files' org.freedesktop.FileManager1 (on its own name: the well-known one may be another's)
  gdbus call --session --dest org.gnome.Nautilus --object-path /org/freedesktop/FileManager1 --method "$@"
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
nautilus_alive() { alive "${session_pid[nautilus]}"; }

work=$(mktemp -d /tmp/vantorix-gnome-files.XXXXXX)
export VANTORIX_TRACE="$work/trace.jsonl"
trap 'session_stop; [ -n "${VANTORIX_KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
"$here/../../scripts/sample-folder" "$work"
root="$work/Vantorix"
mkdir -p "$root/odd-names"
touch "$root/odd-names/fine.txt" "$root/odd-names/pipe|name.txt" "$root/odd-names/line"$'\n'"break.txt"
session_start "$work" "$build" || exit 1
session_start_service "$root" "$work/statuses"

echo "--- GNOME Files started, no extension service running yet"
started=$EPOCHREALTIME
session_start_host nautilus "$root" || exit 1
wait_for 5 shows "$root" >/dev/null
window_at=$(since "$started")
wait_for 10 session_all_badged "$root" >/dev/null
all_at=$(since "$started")
took=$(awk -v a="$all_at" -v w="$window_at" 'BEGIN { printf "%.3f", a - w }')
figure "GNOME Files started with no service: its window showed the folder after $window_at s, every item was badged after $all_at s"
# The bus starts the service, which asks the local service for the sync folder 3.0 s after it starts.
check "every item badged within 4 s of the first window opening, the service started on demand ($took s)" at_most "$took" 4
service=$(session_service_pid)
check "the session bus started the extension service (pid $service), not GNOME Files" test -n "$service" -a "$(ps -o ppid= -p "${service:-1}" | tr -d ' ')" != "${session_pid[nautilus]}"

echo "--- a new window in the running GNOME Files"
folder="$root/Photos/2026"
from=$(lines)
started=$EPOCHREALTIME
session_open nautilus "$folder"
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
session_screenshot nautilus "$work/shot.png"
opacity=$(session_emblem_opacity nautilus)
while read -r badge pixels; do
  check "the $badge emblem's colour in the screenshot, drawn at opacity $opacity ($pixels pixels)" test "$pixels" -ge 10
done < <(session_badge_colours "$work/shot.png" "$opacity")

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
# Alt+Up, as a user goes up: GNOME Files 48 no longer offers "up" as a window action on the bus.
xdotool windowfocus --sync "$(session_window_of nautilus "$root/Documents")" key --clearmodifiers alt+Up
took=$(wait_for 1 eval 'traced_after $from beginObservingDirectory "$root" && traced_after $from endObservingDirectory "$root/Documents"')
check "going up in the same window: the sample folder observed and Documents no longer, within 1 s ($took s)" at_most "$took" 1
took=$(wait_for 3 session_all_badged "$root" "$from")
check "the sample folder's badges given afresh ($took s)" at_most "$took" 3

echo "--- names a request line cannot carry"
sent_before=$(session_stat nautilus requestsSent) uncarried_before=$(session_stat nautilus itemsUncarried)
from=$(lines)
fm org.freedesktop.FileManager1.ShowFolders "['file://$root/odd-names']" "" >/dev/null
took=$(wait_for 3 traced_after "$from" setBadgeIdentifier "$root/odd-names/fine.txt")
check "fine.txt badged ($took s)" at_most "$took" 3
sleep 2
check "pipe|name.txt and the name with a line feed got no badge" test -z "$(session_entry_badges "$root/odd-names" | awk -F'\t' '$1 != "fine.txt" && $2 != ""')"
# GNOME Files may ask about fine.txt before the module knows which folder the window shows; that one request is
# the most the folder can cost.
check "GNOME Files asked about them and the module sent no request for them" \
  test "$(session_stat nautilus itemsUncarried)" -ge $((uncarried_before + 2)) -a "$(session_stat nautilus requestsSent)" -le $((sent_before + 1))

echo "--- the local service stalled: it accepts and never answers"
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

echo "--- nautilus -q, and GNOME Files started again while the service runs"
session_quit nautilus
status=$?
check "GNOME Files quit with status $status" test "$status" -eq 0
sleep 0.5
check "the extension service runs on (pid $service)" alive "$service"
from=$(lines)
started=$EPOCHREALTIME
session_start_host nautilus "$root/Documents" || exit 1
wait_for 5 shows "$root/Documents" >/dev/null
window_at=$(since "$started")
took=$(wait_for 3 session_all_badged "$root/Documents" "$from")
figure "GNOME Files started while the service runs: every item of its first window badged $took s after the window showed the folder"
check "its first window is badged at once, no 3 s wait ($took s, at most 2)" at_most "$took" 2

echo "--- a second host on the same service: the stand-in joining it"
joined=$(mktemp "$work/joined.XXXXXX")
{ echo "show $root/Documents"; sleep 2; } | "$session_bin/vantorix-finder" trace --join > "$joined"
check "the stand-in joined the running service (pid $service)" grep -qF "\"call\":\"hello\",\"protocol\":2,\"program\":\"vantorix-finder\",\"version\"" "$joined"
check "and had the folder's badges at once" test "$(grep -c '"call":"setBadgeIdentifier"' "$joined")" -ge "$(find "$root/Documents" -mindepth 1 -maxdepth 1 | wc -l)"
check "one service for both" test "$(session_service_pid)" = "$service"

pid=${session_pid[nautilus]}
session_quit nautilus
status=$?
check "GNOME Files quit again with status $status" test "$status" -eq 0
# GNOME Files 47 and later end their modules as they quit; the module's last counters say it was ended.
if [ "$(session_host_major nautilus)" -ge 47 ]; then
  check "the module was ended by GNOME Files' shutdown call, cleanly" test "$(session_stat nautilus ended "$pid")" = true
fi
finish
