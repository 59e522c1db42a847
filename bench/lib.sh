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
