#!/usr/bin/env bash
# exFAT parse and recovery against The Sleuth Kit, in the same run: a volume made by
# mkfs.exfat and filled through exfat-fuse with 100 000 files in 100 folders:
# prendle-cli list vs fls -r -p, and prendle-cli recover vs tsk_recover -a.
# Prints best-of-RUNS wall times, the ratio prendle / peer and peak memory (KiB).
# Usage: bench/exfat.sh [RUNS]   (needs exfatprogs, exfat-fuse, losetup, sleuthkit; root)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release --target prendle-cli >/dev/null
work=build/bench/exfat
mkdir -p "$work"

image="$work/many.img"
if [ ! -f "$image" ]; then
    echo "making $image: 100 folders of 1000 files..."
    truncate -s 1G "$image.tmp"
    mkfs.exfat -c 4096 "$image.tmp" >/dev/null
    mkdir -p "$work/m"
    loop=$(losetup -f --show "$image.tmp")
    mount.exfat-fuse "$loop" "$work/m"
    python3 - "$work/m" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(100):
    folder = os.path.join(root, "folder%03d" % d)
    os.mkdir(folder)
    for f in range(1000):
        with open(os.path.join(folder, "file%06d.txt" % f), "w") as out:
            out.write(("folder %d file %d\n" % (d, f)) * 60)
PY
    umount "$work/m"
    losetup -d "$loop"
    mv "$image.tmp" "$image"
fi
cat "$image" > /dev/null

. bench/lib.sh
row_header
row "100k files: list vs fls -r -p" "$cli list $image" "fls -r -p $image"
row "100k files: recover vs tsk_recover -a" "$cli recover $image --out $work/out" \
    "tsk_recover -a $image $work/out"
rm -rf "$work/out"
