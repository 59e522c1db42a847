# Shared by the benchmark scripts: source it after setting $work and $runs.

# best_of COMMAND: the best wall time in seconds of $runs runs, each from an empty
# $work/out and with no dirty pages left over from the run before.
best_of() {
    local best=
    for ((i = 0; i < runs; i++)); do
        rm -rf "$work/out"; mkdir -p "$work/out"
        sync
        local start end
        start=$(date +%s.%N); eval "$1" > /dev/null; end=$(date +%s.%N)
        best=$(python3 -c "print(min($end - $start, ${best:-1e9}))")
    done
    printf '%.3f' "$best"
}

ratio() { python3 -c "print(f'{$1 / $2:.2f}')"; }

# measure COMMAND: the best wall time and the peak KiB of $runs runs, each from an empty
# $work/out: prints "seconds kib".
measure() {
    local best= peak=0
    for ((i = 0; i < runs; i++)); do
        rm -rf "$work/out"; mkdir -p "$work/out"; sync
        local line
        /usr/bin/time -o "$work/time.txt" -f "%e %M" bash -c "$1" > /dev/null 2>&1
        line=$(tail -n 1 "$work/time.txt")
        local seconds=${line% *} kib=${line#* }
        best=$(python3 -c "print(min($seconds, ${best:-1e9}))")
        peak=$(( kib > peak ? kib : peak ))
    done
    echo "$best $peak"
}

row_header() {
    printf '%-40s %9s %9s %7s %12s %12s\n' measurement prendle peer ratio "prendle KiB" "peer KiB"
}

# row LABEL PRENDLE_COMMAND PEER_COMMAND: both measured in the same run, and their ratio.
row() {
    local label=$1 mine peer
    mine=($(measure "$2")); peer=($(measure "$3"))
    printf '%-40s %9s %9s %7s %12s %12s\n' "$label" "${mine[0]}" "${peer[0]}" \
        "$(python3 -c "print(f'{${mine[0]} / max(${peer[0]}, 0.01):.3f}')")" "${mine[1]}" "${peer[1]}"
}
