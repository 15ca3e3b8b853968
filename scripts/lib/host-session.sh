# A headless desktop session for the file-manager hosts, for the screenshot command and the tests. Sourced;
# nothing is installed system-wide: the script runs in private namespaces (user, mount, network) where each
# host's module folder from the build tree is mounted over (or named as) the file manager's extension folder, the
# local service has 127.0.0.1:27835 to itself, Xvfb draws the screen, a private session bus starts the Vantorix
# extension service from the build tree's service file, and the emblems come from the build tree through
# XDG_DATA_DIRS. Every host writes the one trace ($VANTORIX_TRACE, each line naming its host) and its own
# counters ($session_work/stats-HOST-PID.json).
#
# With SESSION_INSTALLED=1 the session uses what the packages installed instead (the package test, as root in a
# clean root): the modules from the file managers' own folders, the bus's standard service folders, the emblems
# from /usr/share; BUILD then only holds bin/vantorix-localservice. A chroot may not make user namespaces, so that
# session's namespaces are only the mount and network ones.
#
#   session_enter_namespaces "$0" "$@"   re-runs the calling script inside the namespaces (once)
#   session_missing_tools HOST...        prints what is missing for these hosts (nautilus, nemo, caja, dolphin)
#   session_module_of BUILD HOST         the path of the host's module in BUILD
#   session_wait_until LIMIT COMMAND...  COMMAND again every 0.1 s until it succeeds, LIMIT seconds at most
#   session_start WORK BUILD             screen, bus and environment; the session's files in WORK
#   session_start_service ROOT RULES     the reference local service (pid in $session_service)
#   session_start_host HOST DIR          the file manager showing DIR (pid in session_pid[HOST]), once it is up
#   session_open HOST DIR                a new window of the running file manager on DIR
#   session_close HOST DIR               closes the window that shows DIR
#   session_quit HOST                    quits the file manager as a user would; its exit status
#   session_stop                         ends everything started (call it on exit)

session_enter_namespaces() {
  if [ -z "${VANTORIX_SESSION_NAMESPACES:-}" ]; then
    export VANTORIX_SESSION_NAMESPACES=1
    if [ -n "${SESSION_INSTALLED:-}" ]; then exec unshare --mount --propagation unchanged --net -- "$@"; fi
    exec unshare --user --map-root-user --mount --net -- "$@"
  fi
  ip link set lo up
}

# The program and the extension interface each host needs.
session_host_program() { case "$1" in nautilus) echo nautilus ;; nemo) echo nemo ;; caja) echo caja ;; dolphin) echo dolphin ;; esac; }
session_host_package() {
  case "$1" in nautilus) echo libnautilus-extension-4 ;; nemo) echo libnemo-extension ;; caja) echo libcaja-extension ;; dolphin) echo "" ;; esac
}

# The module of HOST built in BUILD (Dolphin's under kf5/ or kf6/); nothing for a Dolphin plugin not built.
session_module_of() {
  case "$2" in
    dolphin) ls "$1"/hosts/dolphin/plugins/kf*/overlayicon/vantorix-dolphin.so 2>/dev/null | head -n1 ;;
    *) echo "$1/hosts/$2/extensions/libvantorix-$2.so" ;;
  esac
}

# Runs COMMAND every 0.1 s until it succeeds, for LIMIT seconds at most; whether it did.
session_wait_until() {  # LIMIT COMMAND...
  local end=$((SECONDS + $1))
  shift
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.1; done
}

session_missing_tools() {
  local tool host missing=""
  for tool in Xvfb dbus-daemon gdbus import unshare ip jq xdotool; do
    command -v "$tool" >/dev/null 2>&1 || missing="$missing $tool"
  done
  for host in "$@"; do
    command -v "$(session_host_program "$host")" >/dev/null 2>&1 || missing="$missing $(session_host_program "$host")"
    local package
    package=$(session_host_package "$host")
    [ -z "$package" ] || pkg-config --exists "$package" 2>/dev/null || missing="$missing $package"
  done
  echo "${missing# }"
}

session_start() {
  session_work="$1"
  local build="$2"
  session_build="$build"
  session_bin="$build/bin"
  declare -gA session_pid=()
  declare -ga session_extra=()
  declare -gA session_mounted=()
  declare -ga session_binds=()
  # GNOME Files without GTK_THEME (on libadwaita it would lose its own style sheet). GNOME Files 49 and later refuse
  # to run as root, which the session's user namespace makes its processes: they run as an ordinary user of a
  # namespace nested in it, whose uid 1000 is the session's user (its files, its bus, its runtime folder).
  declare -ga session_nautilus=(env -u GTK_THEME)
  if [ "$(session_host_major nautilus)" -ge 49 ]; then session_nautilus+=(unshare --user --map-user=1000 --map-group=1000 --); fi
  session_nautilus+=(nautilus)
  mkdir -p "$session_work"/{home,runtime}
  chmod 700 "$session_work/runtime"
  export HOME="$session_work/home" XDG_CONFIG_HOME="$session_work/home/.config" XDG_CACHE_HOME="$session_work/home/.cache"
  export XDG_DATA_HOME="$session_work/home/.local/share" XDG_RUNTIME_DIR="$session_work/runtime"
  export XDG_DATA_DIRS="/usr/local/share:/usr/share"
  local services="<standard_session_servicedirs/>"
  if [ -z "${SESSION_INSTALLED:-}" ]; then
    XDG_DATA_DIRS="$build/share:$XDG_DATA_DIRS"
    services="<servicedir>$build/share/dbus-1/services</servicedir>"
  fi
  export GSETTINGS_BACKEND=memory GSK_RENDERER=cairo GDK_BACKEND=x11 GTK_A11Y=none NO_AT_BRIDGE=1 GIO_USE_VFS=local
  session_look
  export VANTORIX_TRACE="${VANTORIX_TRACE:-$session_work/trace.jsonl}" VANTORIX_HOST_STATS="$session_work/stats-%h-%p.json"
  # The modules' routine lines too (GLib's log domain Vantorix, Qt's categories vantorix.*), which the file managers
  # leave out by default, in the hosts' logs of the session ($session_work/HOST.log).
  export G_MESSAGES_DEBUG="${G_MESSAGES_DEBUG:-Vantorix}" QT_LOGGING_RULES="${QT_LOGGING_RULES:+$QT_LOGGING_RULES;}vantorix.*=true"
  export VANTORIX_LOG="${VANTORIX_LOG:-info}" VANTORIX_IDLE_EXIT="${VANTORIX_IDLE_EXIT:-300}"
  touch "$VANTORIX_TRACE"  # read before the first host writes it

  Xvfb -displayfd 1 -screen 0 "${SESSION_SCREEN:-$((1024 * ${SESSION_SCALE:-1}))x$((640 * ${SESSION_SCALE:-1}))x24}" -nolisten tcp -nolisten unix > "$session_work/display" 2> "$session_work/xvfb.log" &
  session_xvfb=$!
  local i
  for i in $(seq 1 100); do [ -s "$session_work/display" ] && break; sleep 0.05; done
  [ -s "$session_work/display" ] || { echo "session: Xvfb did not start" >&2; cat "$session_work/xvfb.log" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$session_work/display")"

  # The bus starts the extension service (from the build tree, or as installed); its log (and the service's) goes
  # to service.log.
  cat > "$session_work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN" "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$session_work/runtime</listen>
  <auth>EXTERNAL</auth>
  $services
  <policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
  dbus-daemon --config-file="$session_work/bus.conf" --nofork --print-address=3 3> "$session_work/bus.address" 2>> "$session_work/service.log" &
  session_bus=$!
  for i in $(seq 1 100); do [ -s "$session_work/bus.address" ] && break; sleep 0.05; done
  export DBUS_SESSION_BUS_ADDRESS="$(head -n1 "$session_work/bus.address")"
}

# How the hosts draw, as a user may have set it: SESSION_SCALE=2 for a screen scaled by 2 (GTK's and Qt's own
# scale factors), SESSION_THEME=dark for the toolkits' dark styles (GTK's dark Adwaita, libadwaita's dark scheme,
# and a dark colour scheme in KDE's settings for Dolphin).
session_look() {
  if [ "${SESSION_SCALE:-1}" != 1 ]; then export GDK_SCALE="$SESSION_SCALE" QT_SCALE_FACTOR="$SESSION_SCALE"; fi
  [ "${SESSION_THEME:-light}" = dark ] || return 0
  export GTK_THEME=Adwaita:dark ADW_DEBUG_COLOR_SCHEME=prefer-dark
  # Dolphin applies the colour scheme named in its own settings, from the colour-scheme folder.
  mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/color-schemes"
  local group
  for group in View Window Button Selection Tooltip Complementary Header; do
    printf '[Colors:%s]\nBackgroundNormal=32,35,38\nBackgroundAlternate=41,44,48\nForegroundNormal=252,252,252\nForegroundInactive=161,169,177\n\n' "$group"
  done > "$XDG_DATA_HOME/color-schemes/Dark.colors"
  printf '[General]\nName=Dark\nColorScheme=Dark\n' >> "$XDG_DATA_HOME/color-schemes/Dark.colors"
  printf '[UiSettings]\nColorScheme=Dark\n' > "$XDG_CONFIG_HOME/dolphinrc"
}

session_start_service() {
  "$session_bin/vantorix-localservice" --root "$1" --status-file "$2" 2>> "$session_work/localservice.log" &
  session_service=$!
}

session_has_name() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.NameHasOwner "$1" 2>/dev/null | grep -q true
}

# The pid of the running extension service, or nothing.
session_service_pid() {
  gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.GetConnectionUnixProcessID com.vantorix.FinderSync 2>/dev/null | grep -oE '[0-9]+' | tail -n1
}

# A bind mount in the session's mount namespace, undone by session_stop (last made, first undone).
session_bind() { mount --bind "$1" "$2" && session_binds=("$2" "${session_binds[@]}"); }

# Puts the host's module folder from the build tree where the file manager looks for extensions.
session_mount_module() {
  [ -z "${SESSION_INSTALLED:-}" ] || return 0
  case "$1" in
    nautilus) session_bind "$session_build/hosts/nautilus/extensions" "$(pkg-config --variable=extensiondir libnautilus-extension-4)" ;;
    nemo)
      # Nemo reads one folder, which exists only once some extension is installed: when it does not, Nemo's
      # library folder is stood in for by a copy whose extension folder is ours.
      local folder
      folder=$(pkg-config --variable=extensiondir libnemo-extension)
      if [ ! -d "$folder" ]; then
        mkdir -p "$session_work/nemo-lib/$(basename "$folder")"
        cp -a "$(dirname "$folder")"/. "$session_work/nemo-lib/"
        session_bind "$session_work/nemo-lib" "$(dirname "$folder")"
      fi
      session_bind "$session_build/hosts/nemo/extensions" "$folder" ;;
    caja) export CAJA_EXTENSION_DIRS="$session_build/hosts/caja/extensions" ;;
    dolphin)
      export QT_PLUGIN_PATH="$session_build/hosts/dolphin/plugins" ;;
  esac
}

session_start_host() {
  local host=$1 dir=$2 i
  [ -n "${session_mounted[$host]:-}" ] || { session_mount_module "$host"; session_mounted[$host]=1; }
  case "$host" in
    nautilus) "${session_nautilus[@]}" --new-window "$dir" >> "$session_work/nautilus.log" 2>&1 & ;;
    nemo) nemo "$dir" >> "$session_work/nemo.log" 2>&1 & ;;
    caja) caja --no-desktop "$dir" >> "$session_work/caja.log" 2>&1 & ;;
    dolphin) XDG_CURRENT_DESKTOP=KDE dolphin --new-window "$dir" >> "$session_work/dolphin.log" 2>&1 & ;;
  esac
  session_pid[$host]=$!
  # Up once its window is on the screen.
  for i in $(seq 1 300); do
    [ -n "$(xdotool search --onlyvisible --pid "${session_pid[$host]}" 2>/dev/null)" ] && return 0
    kill -0 "${session_pid[$host]}" 2>/dev/null || break
    sleep 0.05
  done
  echo "session: $host did not come up" >&2
  return 1
}

session_open() {
  local host=$1 dir=$2
  case "$host" in
    nautilus) "${session_nautilus[@]}" --new-window "$dir" >> "$session_work/nautilus.log" 2>&1 ;;
    nemo) nemo "$dir" >> "$session_work/nemo.log" 2>&1 ;;
    caja) caja --no-desktop "$dir" >> "$session_work/caja.log" 2>&1 ;;
    # Dolphin opens a window as a process of its own: a second host.
    dolphin) XDG_CURRENT_DESKTOP=KDE dolphin --new-window "$dir" >> "$session_work/dolphin.log" 2>&1 & session_extra+=($!) ;;
  esac
}

# The X window of HOST whose title names the folder DIR (Dolphin's windows: of any of its processes, told by their
# class).
session_window_of() {
  local window title
  title=$(basename "$2")
  case "$1" in
    dolphin)
      for window in $(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null); do
        xprop -id "$window" WM_CLASS | grep -qF '"dolphin"' && { echo "$window"; return; }
      done ;;
    *) xdotool search --all --onlyvisible --pid "${session_pid[$1]}" --name "^$title\$" 2>/dev/null | head -n1 ;;
  esac
}

session_close() {
  local host=$1 dir=$2 window pid
  case "$host" in
    nautilus)
      window=$(gdbus call --session --dest org.gnome.Nautilus --object-path /org/freedesktop/FileManager1 \
                 --method org.freedesktop.DBus.Properties.Get org.freedesktop.FileManager1 OpenWindowsWithLocations |
               grep -oE "'/org/gnome/Nautilus/window/[0-9]+': \['file://$dir'\]" | cut -d"'" -f2)
      gdbus call --session --dest org.gnome.Nautilus --object-path "$window" --method org.gtk.Actions.Activate close-current-view [] {} >/dev/null ;;
    nemo | caja)
      # Closed by its keyboard shortcut, which needs the window focused: tried again until the window is gone.
      local try
      for try in 1 2 3 4 5; do
        window=$(session_window_of "$host" "$dir")
        [ -n "$window" ] || return 0
        xdotool windowfocus --sync "$window" key --clearmodifiers ctrl+w 2>/dev/null
        sleep 0.4
      done ;;
    dolphin)
      window=$(session_window_of dolphin "$dir")
      pid=$(xdotool getwindowpid "$window")
      gdbus call --session --dest "org.kde.dolphin-$pid" --object-path /dolphin/Dolphin_1 --method org.kde.dolphin.KMainWindow.close >/dev/null ;;
  esac
}

session_quit() {
  local host=$1 pid=${session_pid[$1]} status
  case "$host" in
    nautilus) "${session_nautilus[@]}" -q ;;
    nemo) nemo -q ;;
    caja) caja -q ;;
    dolphin) gdbus call --session --dest "org.kde.dolphin-$pid" --object-path /MainApplication --method org.qtproject.Qt.QCoreApplication.quit >/dev/null ;;
  esac
  wait "$pid"
  status=$?
  session_pid[$host]=""
  return $status
}

session_stop() {
  local host
  for host in "${!session_pid[@]}"; do [ -n "${session_pid[$host]}" ] && kill "${session_pid[$host]}" 2>/dev/null; done
  for pid in "${session_extra[@]}"; do kill "$pid" 2>/dev/null; done
  [ -n "${session_service:-}" ] && kill -CONT "$session_service" 2>/dev/null && kill "$session_service" 2>/dev/null
  local pid
  pid=$(session_service_pid)
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  [ -n "${session_bus:-}" ] && kill "$session_bus" 2>/dev/null
  [ -n "${session_xvfb:-}" ] && kill "$session_xvfb" 2>/dev/null
  wait 2>/dev/null
  local i
  for ((i = ${#session_binds[@]} - 1; i >= 0; i--)); do umount "${session_binds[$i]}" 2>/dev/null; done  # the last on top
  session_pid=() session_service="" session_xvfb="" session_bus="" session_binds=() session_mounted=()
}

# The last badge the trace gave each entry of DIR, as "NAME<tab>BADGE" lines; from line FROM of the trace on,
# and from HOST's lines only, when given.
session_entry_badges() {
  tail -n +"${2:-1}" "$VANTORIX_TRACE" | jq -r --arg dir "$1/" --arg host "${3:-}" 'select(.call == "setBadgeIdentifier" and (.path | startswith($dir))
      and ($host == "" or .host == $host)) | (.path | ltrimstr($dir)) as $name | select($name | contains("/") | not) | [$name, .badge] | @tsv' |
    awk -F'\t' '{ badge[$1] = $2 } END { for (name in badge) print name "\t" badge[name] }'
}

# The trace's line of the service's first repaint after line FROM (the observed set emptied), printed; false while
# none came. The service repaints once, at its first server check 10 s after it starts, and every host then asks
# about its items again.
session_repaint_line() {
  local found
  found=$(tail -n +"$(($1 + 1))" "$VANTORIX_TRACE" | grep -nF '"call":"setDirectoryURLs","urls":[]' | head -n1 | cut -d: -f1)
  [ -n "$found" ] && echo $(($1 + found))
}

# Whether every entry of DIR whose name a request line can carry has a badge in the trace (from line FROM on, for
# HOST when given).
session_all_badged() {
  local wanted badged newline=$'\n'
  wanted=$(find "$1" -mindepth 1 -maxdepth 1 ! -name '*|*' ! -name "*${newline}*" -printf x | wc -c)
  badged=$(session_entry_badges "$1" "${2:-1}" "${3:-}" | awk -F'\t' '$2 != ""' | wc -l)
  [ "$badged" -ge "$wanted" ]
}

# A field of a module's counters file: session_stats_field FILE FIELD. The module rewrites the file in place, and
# a read that meets a rewrite can see part of each: such a read does not parse (or, of a file just made, gives
# nothing), and is taken again.
session_stats_field() {
  local value tries=0
  until value=$(jq -r ".$2" "$1" 2>/dev/null) && [ -n "$value" ]; do
    tries=$((tries + 1))
    [ "$tries" -lt 50 ] && [ -f "$1" ] || return 1
    sleep 0.01
  done
  printf '%s\n' "$value"
}

# A counter of a host's module: session_stat HOST FIELD [PID] (the process started by session_start_host by default).
session_stat() { session_stats_field "$session_work/stats-$1-${3:-${session_pid[$1]}}.json" "$2"; }

# The X window of a host's main window: the largest on-screen window of its class (Nemo 6 keeps smaller helper
# windows of the same class).
session_window() {
  local class
  case "$1" in nautilus) class='"org.gnome.Nautilus"' ;; nemo) class='"Nemo"' ;; caja) class='"Caja"' ;; dolphin) class='"dolphin"' ;; esac
  xwininfo -root -tree | awk -v class="$class)" 'index($0, class) && $0 !~ /[0-9]+x[0-9]+\+-/ {
      if (match($0, / [0-9]+x[0-9]+\+/)) { split(substr($0, RSTART + 1, RLENGTH - 2), size, "x"); area = size[1] * size[2] }
      if (area > best) { best = area; window = $1 } }
    END { if (window != "") print window }'
}

# Writes a screenshot of a host's first window (the whole screen when none is found) to PNG.
session_screenshot() {
  local window
  window=$(session_window "$1")
  # The pointer off the window, which would light up the item under it; and Dolphin, which opens small, at the size
  # the GTK file managers open at.
  xdotool mousemove 0 0
  if [ "$1" = dolphin ] && [ -n "$window" ]; then xdotool windowsize "$window" $((890 * ${SESSION_SCALE:-1})) $((560 * ${SESSION_SCALE:-1})); sleep 1; fi
  import -window "${window:-root}" "$2"
}

# The badge images' colours (the fill of each disc) found in PNG, as "BADGE PIXELS" lines. A host that draws
# emblems dimmed (GNOME Files 47 and later: at 55% opacity over the view) shows each fill blended with the
# background, the picture's most common colour: with OPACITY below 1 the pixels of that blend are counted, each
# channel within 3 of it (the blend's rounding), and only those.
session_badge_colours() {
  local histogram opacity=${2:-1}
  histogram=$(convert "$1" -format %c histogram:info:- | sed -nE 's/^ *([0-9]+): \( *([0-9]+), *([0-9]+), *([0-9]+).*/\1 \2 \3 \4/p')
  local background
  background=$(sort -k1,1nr <<< "$histogram" | head -n1 | cut -d' ' -f2-)
  local badge hex
  while read -r badge hex; do
    echo "$badge $(awk -v fill="$((16#${hex:0:2})) $((16#${hex:2:2})) $((16#${hex:4:2}))" -v opacity="$opacity" -v background="$background" '
      BEGIN {
        split(background, b, " ")
        split(fill, f, " ")
        for (i = 1; i <= 3; i++) want[i] = opacity * f[i] + (1 - opacity) * b[i]
        tolerance = opacity < 1 ? 3 : 0
      }
      { near = 1; for (i = 1; i <= 3; i++) { d = $(i + 1) - want[i]; if (d < -tolerance - 0.5 || d > tolerance + 0.5) near = 0 } }
      near { sum += $1 }
      END { print sum + 0 }' <<< "$histogram")"
  done < <("$session_bin/badgegen" --list)
}

# The opacity a host draws emblems with: GNOME Files 47 and later dim them (libadwaita's dim-label, 55%).
session_emblem_opacity() {
  local major
  case "$1" in
    nautilus) [ "$(session_host_major nautilus)" -ge 47 ] && echo 0.55 || echo 1 ;;
    *) echo 1 ;;
  esac
}

# The major version of a host's installed package (48 for GNOME Files 48.3), read without starting it.
session_host_major() { dpkg-query -W -f '${Version}' "$(session_host_program "$1")" 2>/dev/null | sed -E 's/^[0-9]+://' | grep -oE '^[0-9]+' || echo 0; }
