#!/usr/bin/env bash
# Runs a command on a private D-Bus session bus of its own; exit code 77 (skipped) where none can be started.
command -v dbus-run-session >/dev/null 2>&1 || { echo "dbus-run-session is missing: skipped" >&2; exit 77; }
exec dbus-run-session -- "$@"
