# Sourced by the scripts that need a real (virtual) X display.
# start_xvfb WORK: starts Xvfb on a free display, its log in WORK, and exports DISPLAY; its
# process id is in xvfb for the caller's clean-up. Returns non-zero, with Xvfb's log on
# standard output, when no display came up within five seconds. Call it directly, not in $(...).
start_xvfb() {
    local work=$1
    # Xvfb picks a free display itself and writes its number to the descriptor.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    xvfb=$!
    for _ in $(seq 50); do
        [ -s "$work/display" ] && break
        sleep 0.1
    done
    if [ ! -s "$work/display" ]; then
        cat "$work/xvfb.log"
        return 1
    fi
    export DISPLAY=":$(head -n1 "$work/display")"
}
