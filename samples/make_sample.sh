#!/usr/bin/env bash
# Builds samples/sample.vdi: a 64 MiB dynamic VDI with an MBR and one FAT16 volume
# holding a few files. Needs qemu-utils, fdisk (sfdisk), dosfstools, mtools and xz.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
raw=$work/sample.raw
truncate -s 64M "$raw"
printf 'label: dos\nstart=2048, size=61440, type=6\n' | sfdisk -q "$raw"
truncate -s $((61440 * 512)) "$work/fat.raw"
mkfs.fat -F 16 -n PRENDLE -i 50524e44 "$work/fat.raw" >/dev/null
export MTOOLS_SKIP_CHECK=1
printf 'Welcome to Prendle.\nThis volume is the sample a newcomer opens first.\n' > "$work/README.TXT"
seq 1 20000 > "$work/NUMBERS.TXT"
mmd -i "$work/fat.raw" ::/DOCS
mcopy -i "$work/fat.raw" "$work/README.TXT" ::/README.TXT
mcopy -i "$work/fat.raw" "$work/NUMBERS.TXT" ::/DOCS/NUMBERS.TXT
dd if="$work/fat.raw" of="$raw" bs=512 seek=2048 conv=notrunc status=none
qemu-img convert -f raw -O vdi "$raw" "$here/sample.vdi"
qemu-img convert -f vdi -O raw "$here/sample.vdi" "$work/check.raw"
sha256sum < "$work/check.raw" | cut -d' ' -f1 > "$here/sample.vdi.sha256"
xz -9 -f "$here/sample.vdi"
