#!/usr/bin/env bash
# tools/run --demo with a card typed as the README says: it reaches the simulated reader and
# from there the window's log. A stand-in for the program connects and watches the log.
set -u
root=$1
stand_in=$2
pd=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src/app" "$work/src/sim"
ln -s "$stand_in" "$work/src/app/quintrel"
ln -s "$pd" "$work/src/sim/quintrel-pd"
for attempt in 1 2 3; do # another program may hold the port picked
    port=$((20000 + RANDOM % 20000))
    out=$(echo "card 1234567" | QUINTREL_RUN_BUILD="$work" QUINTREL_DEMO_PORT=$port \
        QT_QPA_PLATFORM=offscreen "$root/tools/run" --demo 2>&1)
    code=$?
    grep -q "could not listen" <<<"$out" || break
done
if [ "$code" != 0 ] || ! grep -qF "EVT_RAW(FORMAT=WIEGAND, BITLEN=26, DATA=12D687" <<<"$out"; then
    echo "FAIL: exit $code, output:"
    echo "$out"
    exit 1
fi
grep -F "card 1234567" <<<"$out" | head -1
