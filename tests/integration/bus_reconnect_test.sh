#!/usr/bin/env bash
# The session bus goes away while the stand-in runs and comes back at the same address: the extension
# reconnects within a few seconds and takes notifications again. Exit code 77 (skipped) without dbus-daemon
# or gdbus.
set -u
bin="$1"
command -v dbus-daemon >/dev/null && command -v gdbus >/dev/null || { echo "dbus-daemon or gdbus missing: skipped"; exit 77; }
work=$(mktemp -d /tmp/vantorix-reconnect.XXXXXX)
mkdir -p "$work/root" && echo x > "$work/root/f.txt"
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
start_bus() { dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --fork --print-pid > "$work/bus.pid" 2>/dev/null; }
service=""
trace=""
cleanup() {
  exec 3>&- 2>/dev/null
  [ -n "$trace" ] && kill "$trace" 2>/dev/null
  [ -n "$service" ] && kill "$service" 2>/dev/null
  [ -f "$work/bus.pid" ] && kill "$(cat "$work/bus.pid")" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

start_bus
"$bin/vantorix-localservice" --root "$work/root" 2>/dev/null &
service=$!
mkfifo "$work/commands"
"$bin/vantorix-finder" trace < "$work/commands" > "$work/out" 2> "$work/err" &
trace=$!
exec 3> "$work/commands"
echo "show $work/root" >&3
for i in $(seq 1 100); do grep -q '"call":"setBadgeIdentifier","badge":"success"' "$work/out" && break; sleep 0.1; done
grep -q '"call":"setBadgeIdentifier","badge":"success"' "$work/out" || { echo "the file never got its badge"; cat "$work/err"; exit 1; }

kill "$(cat "$work/bus.pid")"
sleep 1
start_bus
# The receiver tries again every 3 s; post until a notification gets through, 10 s at most.
for i in $(seq 1 20); do
  gdbus emit --session --object-path /com/vantorix/DistributedNotificationCenter \
    --signal com.vantorix.DistributedNotificationCenter.Notification VantorixStatusChanged '' \
    "{'paths': <@as []>, 'sync_state': <[{'path': <'$work/root/f.txt'>, 'state': <'3'>}]>}" >/dev/null 2>&1
  sleep 0.5
  if grep -q '"call":"setBadgeIdentifier","badge":"error"' "$work/out"; then echo "notifications taken again after the bus came back"; exit 0; fi
done
echo "no notification got through after the bus came back"
cat "$work/err"
exit 1
