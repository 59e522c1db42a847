#!/usr/bin/env bash
# The bundled sample opens and reads as qemu-img read it when it was made.
# Usage: sample_image.sh PRENDLE_CLI SAMPLES_DIR WORK_DIR
set -euo pipefail
cli=$1 samples=$2 work=$3
rm -rf "$work"; mkdir -p "$work"
xz -dc "$samples/sample.vdi.xz" > "$work/sample.vdi"
got=$("$cli" cat "$work/sample.vdi" | sha256sum | cut -d' ' -f1)
if [[ "$got" == "$(cat "$samples/sample.vdi.sha256")" ]]; then
    echo "1 passed, 0 failed"
else
    echo "sample.vdi reads as $got"; echo "0 passed, 1 failed"; exit 1
fi
