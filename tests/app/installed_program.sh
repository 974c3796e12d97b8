#!/usr/bin/env bash
# Installs the build into a temporary prefix and starts the installed program as a user who
# cannot write to its folder: it must start, and on a termination request write its settings
# into that user's configuration folder. Exit code 77 marks the test as skipped.
set -u
build=$1
work=$(mktemp -d)
app=""
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    echo "--- program output"; cat "$work/app.log" 2>/dev/null
    exit 1
}

cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install failed"; }
for f in bin/quintrel bin/quintrel-pd share/applications/quintrel.desktop \
         share/icons/hicolor/scalable/apps/quintrel.svg share/icons/hicolor/48x48/apps/quintrel.png \
         share/metainfo/org.quintrel.Quintrel.metainfo.xml share/man/man1/quintrel.1.gz \
         share/doc/quintrel/copyright; do
    [ -e "$work/prefix/$f" ] || fail "$f was not installed"
done

# --version and --help answer on the terminal, without a display.
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$work/prefix/bin/quintrel" --version) ||
    fail "quintrel --version failed"
echo "$version" | grep -Eq '^Quintrel [0-9]+\.[0-9]+' || fail "quintrel --version printed: $version"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$work/prefix/bin/quintrel" --help |
    grep -q -- '--port' || fail "quintrel --help does not list --port"

# As root the folder is always writable: run as an ordinary user instead, where possible.
run=()
if [ "$(id -u)" -eq 0 ]; then
    command -v setpriv >/dev/null || { echo "setpriv is not installed"; exit 77; }
    run=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
    chmod 755 "$work" "$work/prefix" "$work/prefix/bin"
    mkdir -p "$work/home" && chown nobody:nogroup "$work/home" && chmod 700 "$work/home"
else
    chmod a-w "$work/prefix/bin"
    mkdir -p "$work/home"
fi

HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" XDG_RUNTIME_DIR="$work/home" \
    QT_QPA_PLATFORM=offscreen "${run[@]}" "$work/prefix/bin/quintrel" >"$work/app.log" 2>&1 &
app=$!
sleep 2
kill -0 "$app" 2>/dev/null || fail "the installed program did not keep running"
kill -TERM "$app"
for _ in $(seq 50); do
    kill -0 "$app" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$app" 2>/dev/null && fail "the program did not end on a termination request"
app=""
[ -e "$work/prefix/bin/quintrel.ini" ] && fail "the settings went beside the program"
grep -q '^\[options\]' "$work/home/config/quintrel/quintrel.ini" 2>/dev/null ||
    fail "no settings file in the configuration folder"
echo "installed program: settings in \$XDG_CONFIG_HOME/quintrel/quintrel.ini"
