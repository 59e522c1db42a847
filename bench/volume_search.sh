#!/usr/bin/env bash
# The sector-by-sector volume search over a 4 GiB disk whose volumes lie near its end,
# against a plain sequential read of the same virtual disk (prendle-cli cat) in the same
# run, for a flat image and a VDI. Goal: the search at >= 80% of the read rate.
# Usage: bench/volume_search.sh [RUNS]   (needs a release build, qemu-utils, ntfs-3g, dosfstools)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cli=build/release/bin/prendle-cli
cmake --preset release >/dev/null && cmake --build --preset release >/dev/null
work=build/bench/volume_search
mkdir -p "$work"

if [ ! -f "$work/disk.vdi" ]; then
    echo "making a 4 GiB disk of random data with an NTFS and a FAT32 volume near its end..."
    head -c $((64 << 20)) /dev/urandom > "$work/block"
    for _ in $(seq 64); do cat "$work/block"; done > "$work/disk.raw"
    rm "$work/block"
    ntfs_start=$(( (4 << 30) / 512 - 200000 )); fat_start=$(( ntfs_start + 120000 ))
    truncate -s $((100000 * 512)) "$work/vol"
    mkntfs -q -F -Q -s 512 -p "$ntfs_start" "$work/vol" >/dev/null 2>&1
    dd if="$work/vol" of="$work/disk.raw" bs=512 seek="$ntfs_start" conv=notrunc status=none
    rm "$work/vol"; truncate -s $((70000 * 512)) "$work/vol"
    mkfs.fat -F 32 -s 1 "$work/vol" >/dev/null
    dd if="$work/vol" of="$work/disk.raw" bs=512 seek="$fat_start" conv=notrunc status=none
    rm "$work/vol"
    qemu-img convert -f raw -O vdi "$work/disk.raw" "$work/disk.vdi"
fi
cat "$work"/disk.* > /dev/null

source bench/lib.sh  # the scripts run from the project root

printf '%-5s %12s %12s %18s\n' image search read "search rate / read"
for image in disk.raw disk.vdi; do
    search=$(best_of "$cli volumes $work/$image --advanced")
    read=$(best_of "$cli cat $work/$image")
    printf '%-5s %11ss %11ss %18s\n' "${image#disk.}" "$search" "$read" \
        "$(python3 -c "print(f'{$read / $search:.2f}')")"
done
"$cli" volumes "$work/disk.vdi" --advanced
