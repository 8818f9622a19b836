#!/usr/bin/env bash
# Kestrel's window and PyMeasure's live plot, side by side in one run: each grows a
# live plot to the same number of points at the same rate while a 10 ms precise timer
# on its GUI thread measures how late it fires (a stall). Rounds alternate the two, so
# both meet the same machine. Needs a release build of kestrel-bench and Debian's
# python3-pymeasure; it is a benchmark, run by hand, never in CI.
#   bench/compare-liveplot.sh [--rounds N] [--points N] [--bench PATH]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=3 points=100001 bench=build/release/bench/kestrel-bench
while [ $# -gt 0 ]; do
    case "$1" in
    --rounds) rounds="$2" && shift 2 ;;
    --points) points="$2" && shift 2 ;;
    --bench) bench="$2" && shift 2 ;;
    *)
        echo "Usage: bench/compare-liveplot.sh [--rounds N] [--points N] [--bench PATH]" >&2
        exit 2
        ;;
    esac
done
if [ ! -x "$bench" ]; then
    echo "compare-liveplot: no $bench (cmake --preset release && cmake --build --preset release --target kestrel-bench)" >&2
    exit 1
fi
# Debian's own interpreter, where Debian's Python packages are.
python=/usr/bin/python3
if ! "$python" -c 'import pymeasure' 2>/dev/null; then
    echo "compare-liveplot: PyMeasure is not installed (sudo apt install python3-pymeasure); nothing was compared" >&2
    exit 1
fi

echo "compare-liveplot: $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "method: each grows a live plot to $points points; a 10 ms Qt::PreciseTimer on the GUI thread; a stall is its lateness"
echo "(nearest-rank p99 and max over the firings while the plot held that many points); offscreen platform"
windows=("9000 .. 11000 points" "95000 .. 100000 points")
report=()
for round in $(seq "$rounds"); do
    # Exit status 3 (a target missed) still gives the figures.
    out=$("$bench" responsiveness --seconds 1 --points "$points" 2>/dev/null) || true
    # (b): Kestrel's window fed as fast as in-process instruments answer.
    growing=$(sed -n '/^(b) /,$p' <<<"$out")
    if [ -z "$growing" ]; then
        echo "compare-liveplot: kestrel-bench responsiveness gave no figures" >&2
        exit 1
    fi
    rate=$(sed -n 's/.*points in [0-9.]* s (\([0-9]*\) points\/s).*/\1/p' <<<"$growing" | head -1)
    theirs=$("$python" bench/liveplot_pymeasure.py "$((points - 1))" "$rate" 2>/dev/null) || {
        echo "compare-liveplot: PyMeasure's live plot did not run" >&2
        exit 1
    }
    echo "round $round: Kestrel $rate points/s; $(head -1 <<<"$theirs")"
    for window in "${windows[@]}"; do
        # median p95 p99 max, in ms
        ours=() them=()
        read -r -a ours < <(grep -m1 "^  $window  " <<<"$growing" | sed 's/ ms//g' | awk '{print $(NF-4), $(NF-3), $(NF-2), $(NF-1)}') || true
        # "WINDOW p99 X ms max Y ms samples N"
        read -r -a them < <(grep -m1 "^$window " <<<"$theirs" | awk '{print $(NF-6), $(NF-3)}') || true
        [ "${#ours[@]}" = 4 ] && [ "${#them[@]}" = 2 ] || continue
        report+=("$(printf '%-24s %5s %10s %10s %12s %12s %9s %9s' "$window" "$round" \
            "${ours[2]}" "${ours[3]}" "${them[0]}" "${them[1]}" \
            "$(awk -v a="${them[0]}" -v b="${ours[2]}" 'BEGIN { printf (b > 0 ? "%.0fx" : "-"), a / b }')" \
            "$(awk -v a="${them[1]}" -v b="${ours[3]}" 'BEGIN { printf (b > 0 ? "%.0fx" : "-"), a / b }')")")
    done
done
echo
printf '%-24s %5s %10s %10s %12s %12s %9s %9s\n' "points on the plot" round "Kestrel p99" "max" \
    "PyMeasure p99" "max" "p99 ratio" "max ratio"
printf '%s\n' "${report[@]}"
