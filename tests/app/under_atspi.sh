#!/usr/bin/env bash
# Runs a window test as on a desktop where a screen reader is listening: a virtual X display,
# a session bus of its own with the accessibility bus started on it, and Qt told to keep its
# bridge to assistive technology on. The test finds QUINTREL_ATSPI set and fails, rather than
# skips, when the bridge does not come up. Exit code 77 marks the test as skipped.
set -u
test=$1
for tool in Xvfb dbus-run-session dbus-send; do
    if ! command -v "$tool" >/dev/null; then
        echo "$tool is not installed"
        exit 77
    fi
done

work=$(mktemp -d)
xvfb=""
cleanup() {
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

. "$(dirname "$0")/xvfb.sh"
if ! start_xvfb "$work"; then
    echo "FAIL: Xvfb did not start"
    exit 1
fi
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

# Qt turns its bridge on only when the accessibility bus is already there, so start it first
# (dbus activates it from its service file).
dbus-run-session -- bash -c '
    if ! dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus \
            org.a11y.Bus.GetAddress >/dev/null 2>&1; then
        echo "the accessibility bus (at-spi2-core) is not available"
        exit 77
    fi
    QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QUINTREL_ATSPI=1 exec "$0"
' "$test" 2>&1 | grep -v "Failed to set fd limit"
exit "${PIPESTATUS[0]}"
