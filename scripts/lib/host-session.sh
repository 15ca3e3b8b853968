# A headless GNOME Files session with the Vantorix module, for the screenshot command and the tests. Sourced;
# nothing is installed system-wide: the script runs in private namespaces (user, mount, network) where the
# module's build folder is mounted over Nautilus's extension folder, the local service has 127.0.0.1:27835 to
# itself, Xvfb draws the screen, a private session bus (without service activation) carries the file manager's
# names, and the emblems come from the build tree through XDG_DATA_DIRS.
#
#   session_enter_namespaces "$0" "$@"   re-runs the calling script inside the namespaces (once)
#   session_start WORK BUILD             screen, bus and environment; the module's files in WORK
#   session_start_service ROOT RULES     the reference local service (pid in $session_service)
#   session_start_nautilus DIR           GNOME Files showing DIR (pid in $session_nautilus), once it owns its names
#   session_stop                         ends everything started (call it on exit)

session_enter_namespaces() {
  if [ -z "${VANTORIX_SESSION_NAMESPACES:-}" ]; then
    export VANTORIX_SESSION_NAMESPACES=1
    exec unshare --user --map-root-user --mount --net -- "$@"
  fi
  ip link set lo up
}

# The packages the session needs; prints what is missing.
session_missing_tools() {
  local tool missing=""
  for tool in nautilus Xvfb dbus-daemon gdbus import unshare ip; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
  done
  pkg-config --exists libnautilus-extension-4 2>/dev/null || missing="$missing libnautilus-extension-4"
  echo "${missing# }"
}

session_start() {
  session_work="$1"
  local build="$2"
  session_bin="$build/bin"
  mkdir -p "$session_work"/{home,runtime}
  chmod 700 "$session_work/runtime"
  export HOME="$session_work/home" XDG_CONFIG_HOME="$session_work/home/.config" XDG_CACHE_HOME="$session_work/home/.cache"
  export XDG_DATA_HOME="$session_work/home/.local/share" XDG_RUNTIME_DIR="$session_work/runtime"
  export XDG_DATA_DIRS="$build/share:/usr/local/share:/usr/share"
  export GSETTINGS_BACKEND=memory GSK_RENDERER=cairo GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1 GIO_USE_VFS=local
  export VANTORIX_EXTENSION_PROGRAM="$session_bin/vantorix-finder"
  export VANTORIX_TRACE="${VANTORIX_TRACE:-$session_work/trace.jsonl}" VANTORIX_NAUTILUS_STATS="$session_work/stats.json"

  # Nautilus loads modules from its extension folder only: ours is mounted there, in this mount namespace.
  mount --bind "$build/nautilus/extensions" "$(pkg-config --variable=extensiondir libnautilus-extension-4)"

  Xvfb -displayfd 1 -screen 0 "${SESSION_SCREEN:-1024x640x24}" -nolisten tcp -nolisten unix > "$session_work/display" 2> "$session_work/xvfb.log" &
  session_xvfb=$!
  local i
  for i in $(seq 1 100); do [ -s "$session_work/display" ] && break; sleep 0.05; done
  [ -s "$session_work/display" ] || { echo "session: Xvfb did not start" >&2; cat "$session_work/xvfb.log" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$session_work/display")"

  cat > "$session_work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN" "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$session_work/runtime</listen>
  <auth>EXTERNAL</auth>
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
  dbus-daemon --config-file="$session_work/bus.conf" --fork --print-address=1 --print-pid=3 > "$session_work/bus.address" 3> "$session_work/bus.pid"
  export DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$session_work/bus.address")"
}

session_start_service() {
  "$session_bin/vantorix-localservice" --root "$1" --status-file "$2" 2>> "$session_work/service.log" &
  session_service=$!
}

session_has_name() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}

session_start_nautilus() {
  nautilus --new-window "$1" >> "$session_work/nautilus.log" 2>&1 &
  session_nautilus=$!
  local i
  for i in $(seq 1 200); do session_has_name org.freedesktop.FileManager1 && return 0; sleep 0.05; done
  echo "session: GNOME Files did not come up" >&2
  return 1
}

session_stop() {
  [ -n "${session_nautilus:-}" ] && kill "$session_nautilus" 2>/dev/null
  [ -n "${session_service:-}" ] && kill -CONT "$session_service" 2>/dev/null && kill "$session_service" 2>/dev/null
  [ -s "${session_work:-/nonexistent}/bus.pid" ] && kill "$(cat "$session_work/bus.pid")" 2>/dev/null
  [ -n "${session_xvfb:-}" ] && kill "$session_xvfb" 2>/dev/null
  wait 2>/dev/null
  session_nautilus="" session_service="" session_xvfb=""
}

# The last badge the trace gave each entry of DIR, as "NAME<tab>BADGE" lines; from line FROM of the trace on
# when given.
session_entry_badges() {
  tail -n +"${2:-1}" "$VANTORIX_TRACE" | jq -r --arg dir "$1/" 'select(.call == "setBadgeIdentifier" and (.path | startswith($dir)))
      | (.path | ltrimstr($dir)) as $name | select($name | contains("/") | not) | [$name, .badge] | @tsv' |
    awk -F'\t' '{ badge[$1] = $2 } END { for (name in badge) print name "\t" badge[name] }'
}

# Whether every entry of DIR whose name a request line can carry has a badge in the trace (from line FROM on).
session_all_badged() {
  local wanted badged newline=$'\n'
  wanted=$(find "$1" -mindepth 1 -maxdepth 1 ! -name '*|*' ! -name "*${newline}*" -printf x | wc -c)
  badged=$(session_entry_badges "$1" "${2:-1}" | awk -F'\t' '$2 != ""' | wc -l)
  [ "$badged" -ge "$wanted" ]
}

session_stat() { jq -r ".$1" "$VANTORIX_NAUTILUS_STATS" 2>/dev/null; }

# Writes a screenshot of the first GNOME Files window to PNG.
session_screenshot() {
  local window
  window=$(xwininfo -root -tree | awk '/"org.gnome.Nautilus"\)/ && $0 !~ / 1x1\+/ { print $1; exit }')
  import -window "${window:-root}" "$1"
}

# The badge images' colours (the fill of each disc) found in PNG, as "BADGE PIXELS" lines.
session_badge_colours() {
  local histogram
  histogram=$(convert "$1" -format %c histogram:info:-)
  local badge hex
  for badge in success:2EA043 sync:2576E6 error:D63031 exclude:787E88 readonly:DE910A shared:8848B8 company:008577; do
    hex=${badge#*:}
    echo "${badge%%:*} $(awk -v hex="#$hex" '$0 ~ hex { sum += $1 } END { print sum + 0 }' <<< "$histogram")"
  done
}
