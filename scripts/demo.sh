#!/usr/bin/env bash
# Builds Kestrel and shows it working against simulated instruments on loopback:
# the window when there is a display, a headless sweep otherwise. Your own stored
# endpoints and runs are never touched: the demo keeps its settings and its run
# store in a folder of its own.
#   scripts/demo.sh [--solar]
# --solar: an illuminated solar cell behind the instruments instead of a diode, and
# its fit (the Analysis panel's Solar cell, or kestrel-sweep --analyze solar).
set -euo pipefail
device=diode
start=-1 stop=1 steps=40 range=0
case "${1:-}" in
"") ;;
--solar) device=solar start=-0.1 stop=0.6 steps=70 range=5 ;;
*)
    echo "Usage: scripts/demo.sh [--solar]" >&2
    exit 2
    ;;
esac
cd "$(dirname "$0")/.."
root="$PWD"

source scripts/deps.sh
kestrel_install_deps

cmake --preset dev
cmake --build --preset dev
scripts/install-sendarbcmd.sh

demo="$(mktemp -d -t kestrel-demo.XXXXXX)"
sim_out="$demo/sim.out"
"$root/build/dev/tools/kestrel-sim" --device "$device" --source 127.0.0.2:0 --meter 127.0.0.3:0 >"$sim_out" 2>&1 &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT

for _ in $(seq 50); do
    [ "$(grep -c 'listening on' "$sim_out" 2>/dev/null)" = 2 ] && break
    sleep 0.1
done
source_at=$(sed -n 's/^kestrel-sim: source listening on //p' "$sim_out")
meter_at=$(sed -n 's/^kestrel-sim: meter listening on //p' "$sim_out")
if [ -z "$source_at" ] || [ -z "$meter_at" ]; then
    echo "The simulated instruments did not start:" >&2
    cat "$sim_out" >&2
    exit 1
fi
echo "Simulated source on $source_at, meter on $meter_at (a $device behind them)."

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    mkdir -p "$demo/config/Kestrel"
    cat >"$demo/config/Kestrel/Kestrel.conf" <<CONF
[General]
sourceaddress=${source_at%:*}, ${source_at##*:}
drainaddress=${meter_at%:*}, ${meter_at##*:}
sweepstart=$start
sweepstop=$stop
sweepsteps=$steps
sweeprange=$range
CONF
    echo "Opening the window: press Identify for both instruments, then Run (Ctrl+R)."
    [ "$device" = solar ] && echo "Then choose Solar cell in the Analysis panel and press Fit."
    echo "Its runs are kept in $demo/data/kestrel/runs.sqlite (kestrel-runs --store PATH list)."
    XDG_CONFIG_HOME="$demo/config" XDG_DATA_HOME="$demo/data" "$root/build/dev/src/app/kestrel"
else
    echo "No display: running the same sweep headless."
    analyze=()
    [ "$device" = solar ] && analyze=(--analyze solar)
    "$root/build/dev/tools/sweep/kestrel-sweep" --source "$source_at" --meter "$meter_at" \
        --start "$start" --stop "$stop" --steps "$steps" --range "$range" \
        --store "$demo/runs.sqlite" "${analyze[@]}" \
        --out "$demo/iv.txt" --csv "$demo/iv.csv" --png "$demo/iv.png" >"$demo/readings.txt"
    if [ "$device" = solar ]; then
        echo
        echo "The solar cell's fit:"
        grep ' = ' "$demo/readings.txt"
    fi
    echo
    echo "Data ($demo/iv.txt):"
    cat "$demo/iv.txt"
    echo
    echo "Also written: $demo/iv.csv (CSV with header) and $demo/iv.png (chart)."
fi
