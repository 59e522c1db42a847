#!/usr/bin/env bash
# Installs what is missing, builds the release and starts Prendle. The bundled sample
# image is unpacked to build/sample/sample.vdi for a first look.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
mkdir -p build/sample
[ -f build/sample/sample.vdi ] || xz -dc samples/sample.vdi.xz > build/sample/sample.vdi
echo "Prendle is starting; the sample image is build/sample/sample.vdi"
exec build/release/bin/prendle
