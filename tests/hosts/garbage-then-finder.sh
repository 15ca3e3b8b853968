#!/usr/bin/env bash
# The extension program as the module test runs it: before the real one speaks, five lines the module must drop
# (not JSON, a badge that is not a string, not an object, 2 MB without a line end, and a message cut short that
# runs into the program's first line).
printf 'not json at all\n'
printf '{"t":0.1,"call":"setBadgeIdentifier","badge":7,"path":"/tmp/x"}\n'
printf '[1,2,3]\n'
head -c 2000000 /dev/zero | tr '\0' x
printf '\n{"t":0.2,"call":"setBadgeIdentifier","badge":"error","path":"/tmp'
exec "$VANTORIX_REAL_FINDER" "$@"
