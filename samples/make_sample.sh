#!/usr/bin/env bash
# Builds samples/sample.vdi: a 64 MiB dynamic VDI with an MBR, a FAT16 volume and an NTFS
# volume holding a few files (one of them deleted). Needs qemu-utils, fdisk (sfdisk),
# dosfstools, mtools, ntfs-3g with a FUSE mount (run as root) and xz.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
cleanup() { mountpoint -q "$work/m" && umount "$work/m"; rm -rf "$work"; }
trap cleanup EXIT
raw=$work/sample.raw
truncate -s 64M "$raw"
printf 'label: dos\nstart=2048, size=30720, type=6\nstart=32768, size=98304, type=7\n' | sfdisk -q "$raw"

truncate -s $((30720 * 512)) "$work/fat.raw"
mkfs.fat -F 16 -n PRENDLE -i 50524e44 "$work/fat.raw" >/dev/null
export MTOOLS_SKIP_CHECK=1
printf 'Welcome to Prendle.\nThis volume is the sample a newcomer opens first.\n' > "$work/README.TXT"
seq 1 20000 > "$work/NUMBERS.TXT"
mmd -i "$work/fat.raw" ::/DOCS
mcopy -i "$work/fat.raw" "$work/README.TXT" ::/README.TXT
mcopy -i "$work/fat.raw" "$work/NUMBERS.TXT" ::/DOCS/NUMBERS.TXT
dd if="$work/fat.raw" of="$raw" bs=512 seek=2048 conv=notrunc status=none

truncate -s $((98304 * 512)) "$work/ntfs.raw"
mkntfs -q -F -Q -L SAMPLE -p 32768 -H 255 -S 63 "$work/ntfs.raw" >/dev/null 2>&1
mkdir "$work/m"
ntfs-3g "$work/ntfs.raw" "$work/m"
mkdir -p "$work/m/Documents/Letters" "$work/m/Pictures"
printf 'Dear reader,\nthis letter was recovered by Prendle.\n' > "$work/m/Documents/Letters/letter.txt"
seq 1 50000 > "$work/m/Documents/numbers.txt"
printf 'P2\n2 2\n255\n0 255\n255 0\n' > "$work/m/Pictures/tiny.pgm"
printf 'a report that was deleted\n' > "$work/m/Documents/report.pdf"
sync
rm "$work/m/Documents/report.pdf"
umount "$work/m"
dd if="$work/ntfs.raw" of="$raw" bs=512 seek=32768 conv=notrunc status=none

qemu-img convert -f raw -O vdi "$raw" "$here/sample.vdi"
qemu-img convert -f vdi -O raw "$here/sample.vdi" "$work/check.raw"
sha256sum < "$work/check.raw" | cut -d' ' -f1 > "$here/sample.vdi.sha256"
xz -9 -f "$here/sample.vdi"
