# The checks of the real file-manager sessions: one line per check and per figure, and waiting on conditions with
# a limit. Sourced after scripts/lib/host-session.sh.
failures=0
check() {  # DESCRIPTION COMMAND...: one check, reported
  if "${@:2}"; then echo "ok      $1"; else echo "FAILED  $1"; failures=$((failures + 1)); return 1; fi
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
# FROM CALL PATH [HOST]: the trace has the call for the path after line FROM (from HOST, when given).
traced_after() {
  tail -n +"$(($1 + 1))" "$VANTORIX_TRACE" | grep -F "\"call\":\"$2\"" | grep -F "\"path\":\"$3\"" | grep -qF "\"host\":\"${4:-}"
}
# DIR [HOST]: no entry of DIR has a badge in the trace.
all_bare() { ! session_entry_badges "$1" 1 "${2:-}" | awk -F'\t' '$2 != "" { found = 1 } END { exit !found }'; }
alive() { kill -0 "$1" 2>/dev/null; }
finish() {
  [ "$failures" -eq 0 ] && echo "all checks passed" || echo "$failures checks failed"
  exit $((failures > 0))
}
