#!/usr/bin/env bash
# Every file manager at once on one extension service: GNOME Files, Nemo, Caja and Dolphin (those installed) in one
# headless session under Xvfb, in private namespaces, each with a window on a folder of its own, driven together
# through the phases every host shares, each checked per host against the boundary trace (each line names its
# host), the modules' counters and the service's status. Prints the figures it measures.
#
#   hosts_session_test.sh BUILD_DIR [HOST...]     (default: every host whose module is built)
#
# Exit code 77 (skipped) only where no host can run; a host whose packages are missing is skipped with a message.
set -u
build="$(cd "$1" && pwd)"
shift
here="$(cd "$(dirname "$0")" && pwd)"
source "$here/../../scripts/lib/host-session.sh"
source "$here/checks.sh"
hosts=()
for host in ${@:-nautilus nemo caja dolphin}; do
  missing=$(session_missing_tools "$host")
  if [ -n "$missing" ]; then echo "skipped $host: $missing missing (scripts/setup installs them)"; continue; fi
  [ -f "$(session_module_of "$build" "$host")" ] || { echo "skipped $host: its module is not built"; continue; }
  hosts+=("$host")
done
[ ${#hosts[@]} -gt 0 ] || { echo "skipped: no file manager to run"; exit 77; }
session_enter_namespaces "$0" "$build" "${hosts[@]}"

work=$(mktemp -d /tmp/vantorix-hosts.XXXXXX)
export VANTORIX_TRACE="$work/trace.jsonl"
trap 'session_stop; [ -n "${VANTORIX_KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
root="$work/Vantorix"
many="$root/Many"
mkdir -p "$many"
(cd "$many" && seq -f "file-%04g.txt" 1 3000 | xargs touch)
# Each host's own folder, of names that need care on the way: spaces, "#", "?", "%41" and letters beyond ASCII.
odd_names=("plain.txt" "with space.txt" "C# notes.txt" "what?.txt" "100%41.txt" "Ünïcödé ✓.txt" "日本語.md")
for host in "${hosts[@]}"; do
  mkdir -p "$root/Own-$host"
  for name in "${odd_names[@]}"; do echo "$name" > "$root/Own-$host/$name"; done
done
printf '3 Own-*/what?.txt\n7 Own-*/C# notes.txt\n' > "$work/statuses"
session_start "$work" "$build" || exit 1
session_start_service "$root" "$work/statuses"

own() { echo "$root/Own-$1"; }
service_status() { "$session_bin/vantorix-finder" status; }
# HOST FROM LIMIT: every item of the host's own folder badged by its lines after line FROM, within LIMIT s.
badged_within() { wait_for "$3" session_all_badged "$(own "$1")" "$2" "$1"; }

echo "--- ${hosts[*]} started, each on a folder of its own"
started=$EPOCHREALTIME
for host in "${hosts[@]}"; do session_start_host "$host" "$(own "$host")" || exit 1; done
for host in "${hosts[@]}"; do
  took=$(badged_within "$host" 1 15)
  check "$host: every item of its folder badged, odd names among them ($(since "$started") s after the first start)" test "$took" != -1
done
service=$(session_service_pid)
check "one extension service for all of them (pid $service)" test -n "$service"
for host in "${hosts[@]}"; do
  for other in "${hosts[@]}"; do
    [ "$other" = "$host" ] && continue
    check "$host did not take $other's window" eval '! traced_after 0 beginObservingDirectory "$(own "$other")" "$host"'
  done
done

echo "--- a status change"
from=$(lines)
changed=$EPOCHREALTIME
echo '4 Own-*/plain.txt' >> "$work/statuses"
for host in "${hosts[@]}"; do
  took=$(wait_for 3 eval 'session_entry_badges "$(own "$host")" "$from" "$host" | grep -qxF "plain.txt	exclude"')
  check "$host: the change reached the emblem within 3 s ($took s)" at_most "$took" 3
done
figure "a status-file change reached every host in $(since "$changed") s"

echo "--- the local service stopped and started again"
kill "$session_service"
stopped=$EPOCHREALTIME
for host in "${hosts[@]}"; do
  took=$(wait_for 3 all_bare "$(own "$host")" "$host")
  check "$host: emblems removed within 3 s of the local service stopping ($(since "$stopped") s)" test "$took" != -1
done
from=$(lines)
session_start_service "$root" "$work/statuses"
restarted=$EPOCHREALTIME
for host in "${hosts[@]}"; do
  took=$(badged_within "$host" "$from" 6)
  check "$host: emblems back within 6 s of the local service starting ($(since "$restarted") s)" test "$took" != -1
done

echo "--- the extension service killed"
from=$(lines)
killed_at_line=$from
kill -KILL "$service"
killed=$EPOCHREALTIME
sleep 1
for host in "${hosts[@]}"; do check "$host stays up" alive "${session_pid[$host]}"; done
for host in "${hosts[@]}"; do
  took=$(badged_within "$host" "$from" 7)
  check "$host: badges back within 6 s of the kill ($(since "$killed") s)" at_most "$(since "$killed")" 6
done
check "one new service, started by the bus" test -n "$(session_service_pid)" -a "$(session_service_pid)" != "$service"
service=$(session_service_pid)

echo "--- a folder of 3,000 files in a new window of each"
from=$(lines)
shown=$EPOCHREALTIME
for host in "${hosts[@]}"; do session_open "$host" "$many"; done
many_badged() {  # HOST
  [ "$(tail -n +"$((from + 1))" "$VANTORIX_TRACE" | grep -F "\"host\":\"$1\"" | grep -F '"call":"setBadgeIdentifier","badge":"success","path":"'"$many/" |
       jq -r .path | sort -u | wc -l)" -ge 3000 ]
}
poll_slowly() { sleep 0.3; "$@"; }  # the checks read a trace of megabytes: not too often, the file managers are working
for host in "${hosts[@]}"; do
  took=$(wait_for 60 poll_slowly many_badged "$host")
  check "$host: all 3,000 files badged ($(since "$shown") s after the windows were asked for)" test "$took" != -1
done
for host in "${hosts[@]}"; do
  for stats in "$work"/stats-"$host"-*.json; do
    longest=$(session_stats_field "$stats" longestHoldMs)
    figure "$host (pid $(session_stats_field "$stats" hostPid)): the longest hold of its main thread by the module $longest ms (in $(session_stats_field "$stats" longestHoldIn)), over $(session_stats_field "$stats" callbacks) callbacks; wall clock $(session_stats_field "$stats" longestWallMs) ms"
    check "$host: the module never held the main thread over 20 ms" at_most "$longest" 20
  done
done

echo "--- the windows on the 3,000 files closed"
from=$(lines)
closed=$EPOCHREALTIME
for host in "${hosts[@]}"; do session_close "$host" "$many"; done
no_longer_shown() { ! service_status | grep -qxF "  $many"; }
took=$(wait_for 3 no_longer_shown)
check "the service no longer shows (nor polls) the folder within 2 s of the last window closing ($took s)" at_most "$took" 2 || service_status
for host in "${hosts[@]}"; do
  [ "$host" = dolphin ] && continue  # Dolphin's window was a process of its own, which quit
  check "$host: observing it ended" traced_after "$from" endObservingDirectory "$many" "$host"
done

echo "--- 30 s with nothing changing"
# The new service repaints once, 10 s after it starts, at its first server check: the window begins after that.
wait_for 15 session_repaint_line "$killed_at_line" >/dev/null
sleep 2
declare -A asked_before sent_before
for host in "${hosts[@]}"; do asked_before[$host]=$(session_stat "$host" itemsAsked) sent_before[$host]=$(session_stat "$host" requestsSent); done
from=$(lines)
connections() { awk '/^Tcp:/ { if (seen++) print $6 }' /proc/net/snmp; }  # TCP connections opened in this namespace
connections_before=$(connections)
sleep 30
exchanges=$(($(connections) - connections_before))
folders=$(service_status | awk '/^Folders shown:/ { print $3 }')
# One connection per exchange: in 30 s at most 21 polling passes of each folder shown (one batch each here), 7
# sync-folder queries (a PING and the query each) and 4 availability checks.
bound=$((21 * folders + 18))
figure "exchanges with the local service in 30 s with nothing changing, ${#hosts[@]} hosts showing $folders folders: $exchanges"
check "the exchanges in 30 s are the periodic ones and nothing more ($exchanges, at most $bound)" test "$exchanges" -le "$bound"
given_again=$(tail -n +"$((from + 1))" "$VANTORIX_TRACE" | grep -E '"call":"(setBadgeIdentifier|requestBadgeIdentifier)"')
check "no badge given again and no request from any host in 30 s" test -z "$given_again" || head -n 5 <<< "$given_again"
for host in "${hosts[@]}"; do
  check "$host asked about no item and sent no request in 30 s" test "$(session_stat "$host" itemsAsked)" = "${asked_before[$host]}" -a "$(session_stat "$host" requestsSent)" = "${sent_before[$host]}"
done

echo "--- each file manager quits"
for host in "${hosts[@]}"; do
  started=$EPOCHREALTIME
  session_quit "$host"
  status=$?
  check "$host quit with status $status in $(since "$started") s" test "$status" -eq 0
done
check "the extension service runs on for the next file manager (pid $service)" alive "$service"
finish
