#!/usr/bin/env bash
# The demo as a newcomer meets it, with the programs of BIN:
#  1. without a terminal it prints a settled listing in which all seven badge labels appear, and exits 0;
#  2. in a terminal (tmux), the live view shows the glyphs, follows a change of the status file within 3 s,
#     opens a folder, and quitting it stops everything the demo started.
# Exit code 77 (skipped) where tmux is missing for the second part.
set -u
bin="$1"
cd "$(dirname "$0")/../.."
export VANTORIX_BIN="$bin"

listing=$(scripts/demo </dev/null | cat)
status=$?
[ $status -eq 0 ] || { echo "demo exited $status"; exit 1; }
for label in Synced Syncing Error Excluded Read-only Shared Company; do
  grep -q " $label " <<<"$listing" || { echo "label $label missing from the listing:"; echo "$listing"; exit 1; }
done
echo "listing: all seven labels"

command -v tmux >/dev/null || { echo "tmux is missing: live view not checked"; exit 77; }
socket="vantorix-test-$$"
export LANG=C.UTF-8 TERM=xterm-256color
tmux -L "$socket" new-session -d -s demo -x 110 -y 32 "VANTORIX_BIN=$bin scripts/demo"
trap 'tmux -L "$socket" kill-server 2>/dev/null' EXIT
pane() { tmux -L "$socket" capture-pane -p -t demo; }
for i in $(seq 1 100); do pane | grep -q "✓ Synced" && break; sleep 0.1; done
pane | grep -q "✓ Synced" || { echo "no glyphs in the live view:"; pane; exit 1; }
work=$(pane | head -1 | sed 's|/Vantorix$||')
[ -f "$work/statuses" ] || { echo "cannot find the demo's status file under $work"; pane; exit 1; }
# An excluded file: the simulated activity only touches synced files, so nothing but this change moves it.
echo "3 scratch.tmp" >> "$work/statuses"
for i in $(seq 1 30); do pane | grep -q "✗ Error .*scratch.tmp" && break; sleep 0.1; done
pane | grep -q "✗ Error .*scratch.tmp" || { echo "the view did not follow the status file within 3 s:"; pane; exit 1; }
echo "live view: followed the status file"
tmux -L "$socket" send-keys -t demo Down Down Enter
for i in $(seq 1 30); do pane | head -1 | grep -q "/Photos$" && break; sleep 0.1; done
pane | head -1 | grep -q "/Photos$" || { echo "Enter did not open the folder:"; pane; exit 1; }
tmux -L "$socket" send-keys -t demo q
for i in $(seq 1 50); do [ -d "$work" ] || break; sleep 0.1; done
[ -d "$work" ] && { echo "quitting left the demo running"; exit 1; }
echo "live view: quit stopped the demo"
exit 0
