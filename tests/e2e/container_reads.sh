#!/usr/bin/env bash
# Every container fixture, read through prendle-cli cat, must equal qemu-img's raw
# conversion byte for byte; export must write the same bytes. All files are unpacked first:
# descriptors need their extents and differencing images their parents beside them.
# Usage: container_reads.sh PRENDLE_CLI FIXTURES_DIR WORK_DIR
set -euo pipefail
cli=$1 fixtures=$2/containers work=$3
rm -rf "$work"; mkdir -p "$work"
for packed in "$fixtures"/*.xz; do
    name=$(basename "$packed" .xz)
    xz -dc "$packed" > "$work/$name"
done
pass=0 fail=0
while read -r name sum sectors; do
    got=$("$cli" cat "$work/$name" | sha256sum | cut -d' ' -f1)
    info_sectors=$("$cli" info --json "$work/$name" | python3 -c 'import json,sys; print(json.load(sys.stdin)["sectors"])' 2>/dev/null || "$cli" info "$work/$name" | awk '/^sectors:/{print $2}')
    mkdir -p "$work/out-$name"
    dest=$("$cli" export "$work/$name" --out "$work/out-$name")
    exported=$(sha256sum < "$dest" | cut -d' ' -f1)
    if [[ "$got" == "$sum" && "$info_sectors" == "$sectors" && "$exported" == "$sum" ]]; then
        pass=$((pass+1))
    else
        echo "FAIL $name: cat $got, export $exported, expected $sum; sectors $info_sectors, expected $sectors"
        fail=$((fail+1))
    fi
    rm -rf "$work/out-$name"
done < "$fixtures/manifest.txt"
# cat into a file leaves zero runs as holes but writes the same bytes, after what was there.
printf 'lead' > "$work/cat.raw"
"$cli" cat "$work/qcow2-grandchild.qcow2" >> "$work/cat.raw"
"$cli" cat "$work/qcow2-grandchild.qcow2" > "$work/cat2.raw"
want=$(awk '$1 == "qcow2-grandchild.qcow2" {print $2}' "$fixtures/manifest.txt")
if [[ $(tail -c +5 "$work/cat.raw" | sha256sum | cut -d' ' -f1) == "$want" &&
      $(sha256sum < "$work/cat2.raw" | cut -d' ' -f1) == "$want" ]]; then
    pass=$((pass+1))
else
    echo "FAIL cat into a file"; fail=$((fail+1))
fi
# A chain lists each layer, the image first.
chain=$("$cli" info --json "$work/qcow2-grandchild.qcow2" | python3 -c 'import json,sys; print(" ".join(l["file"].split("/")[-1] for l in json.load(sys.stdin)["chain"]))')
if [[ "$chain" == "qcow2-grandchild.qcow2 qcow2-child.qcow2 qcow2-zlib.qcow2" ]]; then pass=$((pass+1)); else echo "FAIL chain: $chain"; fail=$((fail+1)); fi
echo "$pass passed, $fail failed"
[[ $fail -eq 0 && $pass -gt 0 ]]
