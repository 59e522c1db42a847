#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for SECONDS (default 600).
# New inputs go to build/fuzz/corpus-KIND; the committed seeds stay as they are.
# Usage: scripts/fuzz.sh [SECONDS] [KIND...]   (KIND: vdi vhd vmdk qcow2 vhdx ntfs_record ntfs_runlist lznt1 ntfs_volume)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}; shift || true
kinds=("$@"); [ ${#kinds[@]} -gt 0 ] || kinds=(vdi vhd vmdk qcow2 vhdx ntfs_record ntfs_runlist lznt1 ntfs_volume)
scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
for kind in "${kinds[@]}"; do
    work=build/fuzz/corpus-$kind
    mkdir -p "$work" build/fuzz/artifacts
    echo "== fuzz_$kind for ${seconds}s"
    build/fuzz/bin/fuzz_$kind "$work" "fuzz/corpus/$kind" -max_total_time="$seconds" \
        -max_len=262144 -rss_limit_mb=4096 -timeout=20 -print_final_stats=1 \
        -artifact_prefix=build/fuzz/artifacts/$kind- 2>&1 | tail -n 25
done
