#!/usr/bin/env bash
# The programs' command lines, with the programs of BIN: --help prints the usage and exits 0; a wrong option,
# a missing value or an unusable argument says what is wrong on the first line of standard error and exits 2;
# a stand-in whose bundle cannot be loaded says why and exits 1; a session service whose signal descriptor or wait
# fails (made to fail by FAILING_CALLS, a preloaded library) says so and exits 1 instead of serving no one.
# Nothing here listens on the service's port.
set -u
bin="$1"
failing_calls="$2"
work=$(mktemp -d /tmp/vantorix-command-lines.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0

# expect STATUS "FIRST LINE OF STDERR" COMMAND...
expect() {
  local want_status=$1 want_line=$2; shift 2
  "$@" </dev/null >"$work/out" 2>"$work/err"
  local status=$? line
  line=$(head -n 1 "$work/err")
  if [ "$status" -ne "$want_status" ] || [ "$line" != "$want_line" ]; then
    echo "FAIL: $*: exit $status (want $want_status), first line \"$line\" (want \"$want_line\")"
    failed=1
  else
    echo "ok    $*: $want_line"
  fi
}

for program in vantorix-finder vantorix-localservice; do
  "$bin/$program" --help >"$work/out" 2>&1 && grep -q '^usage:' "$work/out" || { echo "FAIL: $program --help"; failed=1; }
done
expect 2 'vantorix-finder: a mode is needed' "$bin/vantorix-finder"
expect 2 'vantorix-finder: unknown mode or options "trace --bogus"' "$bin/vantorix-finder" trace --bogus
expect 2 'vantorix-finder serve: --idle-exit takes a number of seconds (0 or more)' "$bin/vantorix-finder" serve --idle-exit soon
expect 2 'vantorix-finder serve: --host-backlog takes a number of bytes (1 or more)' "$bin/vantorix-finder" serve --host-backlog 0
expect 2 'vantorix-finder serve: unknown option "--port"' "$bin/vantorix-finder" serve --port 1
expect 2 'vantorix-finder serve: VANTORIX_IDLE_EXIT takes a number of seconds (0 or more), not "abc"' env VANTORIX_IDLE_EXIT=abc "$bin/vantorix-finder" serve
expect 2 'vantorix-finder serve: VANTORIX_IDLE_EXIT takes a number of seconds (0 or more), not "-5"' env VANTORIX_IDLE_EXIT=-5 "$bin/vantorix-finder" serve
expect 2 'vantorix-localservice: unknown option "--bogus"' "$bin/vantorix-localservice" --bogus
expect 2 'vantorix-localservice: --seed needs a value' "$bin/vantorix-localservice" --root "$work" --seed
expect 2 'vantorix-localservice: --seed takes a number, not "x"' "$bin/vantorix-localservice" --root "$work" --seed x
expect 2 'vantorix-localservice: --root DIR is required' "$bin/vantorix-localservice"
expect 2 "vantorix-localservice: $work/nowhere is not a folder" "$bin/vantorix-localservice" --root "$work/nowhere"
expect 2 "vantorix-localservice: cannot open $work/nowhere/changes: No such file or directory" \
  "$bin/vantorix-localservice" --root "$work" --changes-file "$work/nowhere/changes"

# The stand-in beside a bundle that is missing its property list, names no class, or names another one.
mkdir -p "$work/bundle/resources"
cp "$bin/vantorix-finder" "$work/bundle/"
plist="$work/bundle/resources/Info.plist"
expect 1 "vantorix-finder: cannot read the bundle's property list $plist" "$work/bundle/vantorix-finder" trace
echo '<plist><dict></dict></plist>' >"$plist"
expect 1 "vantorix-finder: $plist names no principal class" "$work/bundle/vantorix-finder" trace
echo '<key>NSExtensionPrincipalClass</key> <string> Other </string>' >"$plist"
expect 1 "vantorix-finder: the bundle holds no class named Other" "$work/bundle/vantorix-finder" trace
# The service in a runtime folder of its own, with one call failing: it ends at once, with its log line and status
# 1, leaving no socket behind (the bus would start a new one); a service left running is stopped by the timeout.
mkdir -m 700 "$work/runtime"
serve_failing() {
  env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$work/runtime" VANTORIX_LOG=error VANTORIX_FAILING_CALL="$1" \
    LD_PRELOAD="$failing_calls" ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" \
    timeout 30 "$bin/vantorix-finder" serve --idle-exit 0
}
expect 1 'vantorix-finder serve: the service cannot take its signals: Too many open files' serve_failing signalfd
serve_failing poll </dev/null >"$work/out" 2>"$work/err"
status=$?
if [ "$status" -ne 1 ] || ! grep -q "the service ends: its hosts cannot be watched: Cannot allocate memory" "$work/err" || [ -e "$work/runtime/vantorix/finder.sock" ]; then
  echo "FAIL: a service whose wait fails: exit $status (want 1), log:"; cat "$work/err"; failed=1
else
  echo "ok    a service whose wait fails ends: $(grep -o 'the service ends: .*' "$work/err")"
fi
exit $failed
