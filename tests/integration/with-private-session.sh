#!/usr/bin/env bash
# Runs a command in a private network namespace (its own 127.0.0.1:27835) on a private session bus that starts the
# extension service from the build tree (BUILD/share/dbus-1/services); exit code 77 (skipped) where neither can
# be had.
#   with-private-session.sh BUILD COMMAND...
build=$1
shift
command -v unshare >/dev/null && command -v dbus-run-session >/dev/null || { echo "unshare or dbus-run-session missing: skipped"; exit 77; }
unshare --user --map-root-user --net true 2>/dev/null || { echo "no private network namespace here: skipped"; exit 77; }
config=$(mktemp /tmp/vantorix-bus.XXXXXX.conf)
trap 'rm -f "$config"' EXIT
cat > "$config" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN" "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <servicedir>$build/share/dbus-1/services</servicedir>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
unshare --user --map-root-user --net -- sh -c 'ip link set lo up && exec dbus-run-session --config-file="$0" -- "$@"' "$config" "$@"
