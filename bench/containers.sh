#!/usr/bin/env bash
# Reader throughput against peers on a 2 GiB virtual disk with half of its blocks stored,
# as VDI, VHD and VMDK (made by qemu-img):
#   export: prendle-cli export  vs  qemu-img convert -O raw (default cache, and -t unsafe)
#   cat:    prendle-cli cat > /dev/null  vs  cat of the flat image from the page cache
# Prints the best of RUNS runs of each and the ratio prendle / peer (below 1 is faster).
# Usage: bench/containers.sh [RUNS]   (needs a release build and qemu-utils)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
work=build/bench/containers
mkdir -p "$work"

if [ ! -f "$work/disk.raw" ]; then
    echo "making a 2 GiB disk with every other 2 MiB stored..."
    python3 - "$work/disk.raw" <<'PY'
import os, sys
size, step = 2 << 30, 2 << 20
with open(sys.argv[1], "wb") as f:
    f.truncate(size)
    for offset in range(0, size, 2 * step):
        f.seek(offset)
        f.write(os.urandom(step))
PY
    qemu-img convert -f raw -O vdi "$work/disk.raw" "$work/disk.vdi"
    qemu-img convert -f raw -O vpc -o force_size=on "$work/disk.raw" "$work/disk.vhd"
    qemu-img convert -f raw -O vmdk "$work/disk.raw" "$work/disk.vmdk"
fi
# Everything read comes from the page cache, for prendle and its peers alike.
cat "$work"/disk.* > /dev/null

source bench/lib.sh  # the scripts run from the project root

printf '%-6s %-34s %9s %9s %7s\n' kind measurement prendle peer ratio
for kind in vdi vhd vmdk; do
    fmt=$kind; [ $kind = vhd ] && fmt=vpc
    mine=$(best_of "$cli export $work/disk.$kind --out $work/out")
    peer=$(best_of "qemu-img convert -f $fmt -O raw $work/disk.$kind $work/out/disk.raw")
    unsafe=$(best_of "qemu-img convert -t unsafe -f $fmt -O raw $work/disk.$kind $work/out/disk.raw")
    printf '%-6s %-34s %9s %9s %7s\n' $kind "export vs qemu-img convert" "$mine" "$peer" "$(ratio $mine $peer)"
    printf '%-6s %-34s %9s %9s %7s\n' $kind "export vs qemu-img convert -t unsafe" "$mine" "$unsafe" "$(ratio $mine $unsafe)"
    cat_mine=$(best_of "$cli cat $work/disk.$kind > /dev/null")
    cat_flat=$(best_of "cat $work/disk.raw > /dev/null")
    printf '%-6s %-34s %9s %9s %7s\n' $kind "cat vs cat of the flat file" "$cat_mine" "$cat_flat" "$(ratio $cat_mine $cat_flat)"
done
rm -rf "$work/out"
