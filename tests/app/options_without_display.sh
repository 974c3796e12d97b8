#!/usr/bin/env bash
# The command line is answered on the terminal without a display: an unknown option is named
# with exit code 2 (not an abort for want of a display), and the simulated reader's help gives
# each short option one meaning.
set -u
exe=$1
pd=$2
failed=0
check() { # what, expected exit code, actual exit code, output, text the output must hold
    if [ "$3" != "$2" ] || ! grep -qF -- "$5" <<<"$4"; then
        echo "FAIL: $1: exit $3 (expected $2), output:"
        echo "$4"
        failed=1
    fi
}
run() { env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" 2>&1; }

for bad in --bogus -bogus --port "--bogus --help"; do
    # shellcheck disable=SC2086 # "--bogus --help" is two words
    out=$(run "$exe" $bad); code=$?
    case $bad in
    --port) check "$bad" 2 "$code" "$out" "Missing value after '--port'" ;;
    *) check "$bad" 2 "$code" "$out" "Unknown option 'bogus'" ;;
    esac
done
out=$(run "$exe" --version); check --version 0 $? "$out" "Quintrel"
out=$(run "$exe" --help); check --help 0 $? "$out" "--port <PORT>"

out=$("$pd" --help 2>&1); check "quintrel-pd --help" 0 $? "$out" "--verbose"
if [ "$(grep -c -- '-v,' <<<"$out")" != 1 ]; then
    echo "FAIL: quintrel-pd --help gives -v more than one meaning:"
    grep -- '-v' <<<"$out"
    failed=1
fi
exit $failed
