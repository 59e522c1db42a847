#!/usr/bin/env bash
# Reader throughput against peers on a virtual disk (2 GiB unless SIZE_MIB says otherwise)
# with every other 2 MiB stored (half random, half text, with zero runs inside), in every
# container kind qemu-img writes:
#   export: prendle-cli export  vs  qemu-img convert -O raw (default cache, and -t unsafe)
#   cat:    prendle-cli cat > /dev/null  vs  cat of the flat image from the page cache
# Prints the best of RUNS runs of each and the ratio prendle / peer in time (below 1 is
# faster), all measured in the same run on the same machine.
# Usage: bench/containers.sh [RUNS] [KIND...]   (needs qemu-utils; builds prendle-cli release)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}; shift || true
kinds=("$@"); [ ${#kinds[@]} -gt 0 ] || kinds=(vdi vhd vmdk qcow2 qcow2c vhdx stream)
size_mib=${SIZE_MIB:-2048}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release --target prendle-cli >/dev/null
work=build/bench/containers-$size_mib
mkdir -p "$work"

if [ ! -f "$work/disk.raw" ]; then
    echo "making a $size_mib MiB disk with every other 2 MiB stored..."
    python3 - "$work/disk.raw" "$size_mib" <<'PY'
import os, sys
size, step = int(sys.argv[2]) << 20, 2 << 20
text = b"".join(b"line %08d of a text file kept in the benchmark disk\n" % i for i in range(20000))
with open(sys.argv[1], "wb") as f:
    f.truncate(size)
    for offset in range(0, size, 2 * step):
        f.seek(offset)
        half = step // 2
        block = os.urandom(half) + text[:half]
        # A zero run inside a stored block, as a guest's free space leaves.
        block = block[:half - 65536] + bytes(65536) + block[half:]
        f.write(block)
PY
    qemu-img convert -f raw -O vdi "$work/disk.raw" "$work/disk.vdi"
    qemu-img convert -f raw -O vpc -o force_size=on "$work/disk.raw" "$work/disk.vhd"
    qemu-img convert -f raw -O vmdk "$work/disk.raw" "$work/disk.vmdk"
    qemu-img convert -f raw -O qcow2 "$work/disk.raw" "$work/disk.qcow2"
    qemu-img convert -f raw -O qcow2 -c "$work/disk.raw" "$work/disk.qcow2c"
    qemu-img convert -f raw -O vhdx "$work/disk.raw" "$work/disk.vhdx"
    qemu-img convert -f raw -O vmdk -o subformat=streamOptimized "$work/disk.raw" "$work/disk.stream"
fi
# Everything read comes from the page cache, for prendle and its peers alike.
cat "$work"/disk.* > /dev/null

source bench/lib.sh  # the scripts run from the project root

# best_cpu_of COMMAND: the least CPU time (user + system, seconds) of $runs runs. On a
# loaded machine wall time mostly measures the scheduler; CPU time shows the work done.
best_cpu_of() {
    local best=
    for ((i = 0; i < runs; i++)); do
        rm -rf "$work/out"; mkdir -p "$work/out"
        sync
        /usr/bin/time -o "$work/cpu.txt" -f '%U %S' bash -c "$1" > /dev/null
        best=$(python3 -c "u, s = open('$work/cpu.txt').read().split(); print(min(float(u) + float(s), ${best:-1e9}))")
    done
    printf '%.3f' "$best"
}

printf '%-7s %-37s %9s %9s %7s\n' kind measurement prendle peer ratio
for kind in "${kinds[@]}"; do
    case $kind in vhd) fmt=vpc ;; qcow2c) fmt=qcow2 ;; stream) fmt=vmdk ;; *) fmt=$kind ;; esac
    mine=$(best_of "$cli export $work/disk.$kind --out $work/out")
    peer=$(best_of "qemu-img convert -f $fmt -O raw $work/disk.$kind $work/out/disk.raw")
    unsafe=$(best_of "qemu-img convert -t unsafe -f $fmt -O raw $work/disk.$kind $work/out/disk.raw")
    printf '%-7s %-37s %9s %9s %7s\n' $kind "export vs qemu-img convert" "$mine" "$peer" "$(ratio $mine $peer)"
    printf '%-7s %-37s %9s %9s %7s\n' $kind "export vs qemu-img convert -t unsafe" "$mine" "$unsafe" "$(ratio $mine $unsafe)"
    mine_cpu=$(best_cpu_of "$cli export $work/disk.$kind --out $work/out")
    peer_cpu=$(best_cpu_of "qemu-img convert -f $fmt -O raw $work/disk.$kind $work/out/disk.raw")
    printf '%-7s %-37s %9s %9s %7s\n' $kind "export CPU time vs qemu-img convert" "$mine_cpu" "$peer_cpu" "$(ratio $mine_cpu $peer_cpu)"
    cat_mine=$(best_of "$cli cat $work/disk.$kind > /dev/null")
    cat_flat=$(best_of "cat $work/disk.raw > /dev/null")
    printf '%-7s %-37s %9s %9s %7s\n' $kind "cat vs cat of the flat file" "$cat_mine" "$cat_flat" "$(ratio $cat_mine $cat_flat)"
done
rm -rf "$work/out"
