# wine_lib.sh -- shared steps of the real-window runs: Xvfb, a fresh Wine prefix, boxes, keys, shots.
# Source it; it needs xvfb, xdotool, imagemagick and wine64 (see scripts/setup.sh).

WINE64=${WINE64:-/usr/lib/wine/wine64}
WINE_ARTIFACTS=${WINE_ARTIFACTS:-$PWD/build/wine-artifacts}

# Starts Xvfb on a free display and a fresh prefix under $1; exports DISPLAY and WINEPREFIX.
wine_start() {
    local work=$1
    mkdir -p "$work" "$WINE_ARTIFACTS"
    local display
    for display in $(seq 90 130); do
        [ -e /tmp/.X11-unix/X$display ] || [ -e /tmp/.X$display-lock ] || break
    done
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
    WINE_XVFB_PID=$!
    export DISPLAY=":$display" WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    for _ in $(seq 1 50); do xdotool getmouselocation >/dev/null 2>&1 && break; sleep 0.1; done
    "$WINE64" wineboot --init >"$work/wineboot.log" 2>&1
    "$WINE64"server -w 2>/dev/null || wineserver -w 2>/dev/null || true
}

wine_stop() {
    WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
    [ -n "${WINE_XVFB_PID:-}" ] && kill "$WINE_XVFB_PID" 2>/dev/null || true
}

# Prints the id of the first visible window titled $1, waiting up to $2 seconds (default 30).
wine_wait_window() {
    local title=$1 limit=${2:-30} id
    for _ in $(seq 1 $((limit * 4))); do
        id=$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.25
    done
    return 1
}

# Gives window $1 the keyboard and presses key $2. Without a window manager only a click
# activates a Wine window, so click its top band, away from any button.
wine_press() {
    local id=$1 key=$2 x y w
    eval "$(xdotool getwindowgeometry --shell "$id")"
    x=$((X + WIDTH / 2)); y=$((Y + 6))
    xdotool mousemove "$x" "$y" click 1
    sleep 0.3
    xdotool key "$key"
}

wine_shot() { import -window root "$WINE_ARTIFACTS/$1.png" 2>/dev/null || true; }

# Runs a Windows program in the background; its exit code lands in $1 when it ends.
wine_run() {
    local rc_file=$1; shift
    rm -f "$rc_file"
    ( rc=0; "$WINE64" "$@" >/dev/null 2>&1 || rc=$?; echo $rc >"$rc_file.part"; mv "$rc_file.part" "$rc_file" ) &
}

# Waits up to $2 seconds for the exit code in file $1; prints it, or "timeout".
wine_wait_exit() {
    local rc_file=$1 limit=${2:-30}
    for _ in $(seq 1 $((limit * 4))); do
        [ -f "$rc_file" ] && { cat "$rc_file"; return 0; }
        sleep 0.25
    done
    echo timeout
}

# Waits up to $2 seconds (default 10) until no visible window is titled $1.
wine_wait_gone() {
    local title=$1 limit=${2:-10}
    for _ in $(seq 1 $((limit * 4))); do
        xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1 || return 0
        sleep 0.25
    done
    return 1
}

# Presses key $2 in window $1 until it is gone (a key can come before the box takes input).
wine_answer() {
    local id=$1 key=$2 title
    title=$(xdotool getwindowname "$id" 2>/dev/null) || return 0
    for _ in 1 2 3 4 5; do
        wine_press "$id" "$key" 2>/dev/null || true
        wine_wait_gone "$title" 2 && return 0
    done
    return 1
}

# The prefix's temp folder, where GetTempPathA points.
wine_temp_dir() { echo "$WINEPREFIX/drive_c/users/$(id -un)/Temp"; }

# A screenshot of window $1 alone (what the screen shows in its rectangle) as $2.png.
wine_shot_window() {
    local id=$1 X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null)" || return 0
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$WINE_ARTIFACTS/$2.png" 2>/dev/null || true
}

# Waits up to $2 seconds for file $1 to exist.
wine_wait_file() {
    local file=$1 limit=${2:-30}
    for _ in $(seq 1 $((limit * 4))); do
        [ -e "$file" ] && return 0
        sleep 0.25
    done
    return 1
}

# A screenshot of the smallest rectangle that holds windows $1 and $2, as $3.png.
wine_shot_pair() {
    local X Y WIDTH HEIGHT SCREEN WINDOW x1 y1 x2 y2
    eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)" || return 0
    x1=$X y1=$Y x2=$((X + WIDTH)) y2=$((Y + HEIGHT))
    eval "$(xdotool getwindowgeometry --shell "$2" 2>/dev/null)" || return 0
    [ "$X" -lt "$x1" ] && x1=$X; [ "$Y" -lt "$y1" ] && y1=$Y
    [ $((X + WIDTH)) -gt "$x2" ] && x2=$((X + WIDTH)); [ $((Y + HEIGHT)) -gt "$y2" ] && y2=$((Y + HEIGHT))
    import -window root -crop "$((x2 - x1))x$((y2 - y1))+$x1+$y1" +repage "$WINE_ARTIFACTS/$3.png" 2>/dev/null || true
}
