#!/usr/bin/env bash
# Runs inside the clean root tests/packages/run made, as root, from /tmp/vantorix-test (debs/, bin/ with the
# reference local service, lib/ with the session scripts). Every check prints one line; the first failure ends it.
#   in-root.sh            install all, session, purge; then each host package alone
#   in-root.sh session    the GNOME Files session alone (re-run inside its namespaces)
set -uo pipefail
test=/tmp/vantorix-test
source "$test/lib/host-session.sh"
source "$test/lib/checks.sh"
export DEBIAN_FRONTEND=noninteractive
ours() { dpkg-query -W -f '${Package} ${Status}\n' 'vantorix-*' 2>/dev/null | awk '$NF == "installed" { print $1 }'; }
fail() { echo "FAILED  $*"; exit 1; }

session() {
  SESSION_INSTALLED=1 session_enter_namespaces "$0" session
  local work=/tmp/vantorix-session root=/tmp/vantorix-session/Vantorix
  mkdir -p "$root/Documents"
  for name in "Welcome.txt" "with space.txt" "C# notes.txt" "what?.txt" "100%41.txt" "Grüße.txt" "scratch.tmp"; do
    echo "$name" > "$root/$name"
  done
  printf '4 *.tmp\n' > "$work/statuses"
  trap session_stop EXIT
  session_start "$work" "$test" || fail "the session did not start"
  session_start_service "$root" "$work/statuses"
  check "no extension service runs before a file manager asks" test -z "$(session_service_pid)"
  session_start_host nautilus "$root" || fail "GNOME Files did not come up"
  took=$(wait_for 30 session_all_badged "$root")
  check "every item of the folder badged in GNOME Files, $took s after its window came up" at_most "$took" 30 || tail -n 20 "$work/service.log"
  local excluded
  excluded=$(session_entry_badges "$root" | awk -F'\t' '$1 == "scratch.tmp" { print $2 }')
  check "the local service's statuses are the badges (scratch.tmp: $excluded)" test "$excluded" = exclude
  local module
  module=$(grep -o '/[^ ]*libvantorix-nautilus.so' "/proc/${session_pid[nautilus]}/maps" | head -n1)
  check "GNOME Files loaded the module from its own extension folder ($module)" \
    test "$module" = "$(dpkg -L vantorix-nautilus | grep 'libvantorix-nautilus.so$')"
  local pid program
  pid=$(session_service_pid)
  program=$(readlink "/proc/$pid/exe")
  check "the session bus started the installed service ($program, pid $pid)" test "$program" = /usr/libexec/vantorix/vantorix-finder
  check "vantorix-finder status names GNOME Files among the hosts" eval 'vantorix-finder status | grep -q nautilus'
  check "the emblems are in hicolor's icon cache" grep -qa emblem-vantorix-success /usr/share/icons/hicolor/icon-theme.cache
  session_quit nautilus
  check "GNOME Files quit with status $?" test "$?" -eq 0
  trap - EXIT
  session_stop
  finish
}

# The files of PACKAGES (not their folders, which other packages may share).
files_of() { local package; for package in "$@"; do dpkg -L "$package"; done | while IFS= read -r path; do [ -d "$path" ] && [ ! -L "$path" ] || echo "$path"; done | sort -u; }

# Purges PACKAGES and checks that nothing of theirs (files, their folders of ours, dpkg's records) is left.
purge_and_check() {
  local listed left
  listed=$(files_of "$@")
  apt-get purge -y -qq "$@" > /tmp/purge.log 2>&1 || { cat /tmp/purge.log; fail "apt purge $*"; }
  left=$(while IFS= read -r path; do [ -e "$path" ] || [ -L "$path" ] && echo "$path"; done <<< "$listed")
  # Anything named after us anywhere, but the test's own files.
  left+=$(find / -xdev \( -path /tmp/vantorix-test -o -path /tmp/vantorix-session -o -path /proc \) -prune -o \( -iname '*vantorix*' -print \) 2>/dev/null)
  check "apt purge $* left nothing behind ($(wc -l <<< "$listed") files were installed)" test -z "$left" || { echo "$left"; exit 1; }
}

install_debs() {  # DEB...: with apt, from the files, their dependencies from the archive
  apt-get install -y -qq "$@" > /tmp/install.log 2>&1 || { cat /tmp/install.log; fail "apt install $*"; }
}

if [ "${1:-}" = session ]; then session; fi

cd "$test/debs"
debs=(./*.deb)
install_debs "${debs[@]}"
check "apt install ./*.deb installed $(ours | wc -l) packages: $(ours | tr '\n' ' ')" test "$(ours | wc -l)" -eq "${#debs[@]}" || exit 1
bash "$0" session || exit 1
purge_and_check $(ours)
check "hicolor's icon cache no longer names the emblems" eval '! grep -qa emblem-vantorix /usr/share/icons/hicolor/icon-theme.cache' || exit 1

for deb in ./vantorix-*.deb; do
  package=$(dpkg-deb -f "$deb" Package)
  [ "$package" != vantorix-finder-sync ] || continue
  host=$(dpkg-deb -f "$deb" Enhances)
  installed=$(dpkg-query -W -f '${Status}' "$host" 2>/dev/null | grep -c 'install ok installed')
  install_debs ./vantorix-finder-sync_*.deb "$deb"
  check "$package installs alone, with its dependency vantorix-finder-sync ($host installed: $([ "$installed" -gt 0 ] && echo yes || echo no))" \
    test "$(ours | sort | tr '\n' ' ')" = "$(printf '%s\n' "$package" vantorix-finder-sync | sort | tr '\n' ' ')" || exit 1
  purge_and_check "$package" vantorix-finder-sync
done
echo "all checks passed"
