#!/usr/bin/env bash
# Installs what is missing, builds the release and starts Prendle on the bundled sample.
# The windowed program is not built yet: until it is, this shows the sample image
# through prendle-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
mkdir -p build/sample
[ -f build/sample/sample.vdi ] || xz -dc samples/sample.vdi.xz > build/sample/sample.vdi
image=${1:-build/sample/sample.vdi}
echo "prendle-cli info $image"
build/release/bin/prendle-cli info "$image"
