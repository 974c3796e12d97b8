#!/usr/bin/env bash
# Starts the real program on a virtual X display and checks that its main window is shown
# and that the program keeps running. A copy of the program runs from a temporary folder,
# so its settings file is written there. Exit code 77 marks the test as skipped.
set -u
exe=$1
for tool in Xvfb xwininfo; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d)
app=""
xvfb=""
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- program output"; cat "$work/app.log" 2>/dev/null
    exit 1
}

cp "$exe" "$work/quintrel"
# Without the vendor list the program would open with an error box first.
[ -f "$(dirname "$exe")/oui.csv" ] && cp "$(dirname "$exe")/oui.csv" "$work/"

. "$(dirname "$0")/xvfb.sh"
start_xvfb "$work" || fail "Xvfb did not start"

export XDG_RUNTIME_DIR="$work/runtime"
export XDG_CONFIG_HOME="$work/config"
mkdir -m 700 "$XDG_RUNTIME_DIR"
QT_QPA_PLATFORM=xcb "$work/quintrel" >"$work/app.log" 2>&1 &
app=$!

window=""
for _ in $(seq 150); do
    kill -0 "$app" 2>/dev/null || fail "the program ended at start-up"
    window=$(xwininfo -root -tree | awk '/"Quintrel v[0-9]/ { print $1; exit }')
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || fail "no window titled \"Quintrel v...\" appeared"
for _ in $(seq 50); do
    xwininfo -id "$window" | grep -q 'Map State: IsViewable' && break
    sleep 0.1
done
xwininfo -id "$window" | grep -q 'Map State: IsViewable' || fail "the main window is not shown"
sleep 2
kill -0 "$app" 2>/dev/null || fail "the program ended after showing its window"
echo "main window $window shown: $(xwininfo -id "$window" | awk -F'"' '/xwininfo:/ { print $2 }')"
exit 0
