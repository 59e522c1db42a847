#!/usr/bin/env bash
# Bad input gives one clear line on stderr and a non-zero exit, never a crash.
# Usage: cli_errors.sh PRENDLE_CLI WORK_DIR
set -uo pipefail
cli=$1 work=$2
fixtures=$(cd "$(dirname "$0")/../fixtures/containers" && pwd)
rm -rf "$work"; mkdir -p "$work"
xz -dc "$fixtures/vmdk-stream.vmdk.xz" > "$work/stream.vmdk"
# Differencing images whose parents are not beside them.
xz -dc "$fixtures/qcow2-child.qcow2.xz" > "$work/child.qcow2"
xz -dc "$fixtures/vhd-differencing.vhd.xz" > "$work/child.vhd"
xz -dc "$fixtures/vmdk-monoflat.vmdk.xz" > "$work/noextent.vmdk"
xz -dc "$fixtures/vdi-dynamic.vdi.xz" | head -c 600 > "$work/short.vdi"
xz -dc "$fixtures/vhd-dynamic.vhd.xz" | head -c 40000 > "$work/cut.vhd"
printf 'KDMV' > "$work/tiny.vmdk"
# Names from an image that lead to a pipe must not block the open.
mkfifo "$work/pipe"
printf '# Disk DescriptorFile\nversion=1\ncreateType="monolithicFlat"\nRW 8 FLAT "pipe" 0\n' > "$work/pipe.vmdk"

pass=0 fail=0
# expected fragment | command...
check() {
    local fragment=$1; shift
    local err status
    err=$("$@" 2>&1 >/dev/null); status=$?
    if [[ $status -ne 0 && $status -lt 128 && "$err" == *"$fragment"* && $(printf '%s\n' "$err" | wc -l) -eq 1 ]]; then
        pass=$((pass+1))
    else
        echo "FAIL ($status) $*: $err"; fail=$((fail+1))
    fi
}
check "cannot open"              "$cli" info "$work/missing.vdi"
check 'parent image "qcow2-zlib.qcow2"' "$cli" info "$work/child.qcow2"
check 'parent image ".\vhd-dynamic.vhd"' "$cli" cat "$work/child.vhd"
check "vmdk-monoflat-flat.vmdk"  "$cli" info "$work/noextent.vmdk"
check "past the end of the 600-byte container" "$cli" cat "$work/short.vdi"
check "past the end of the"      "$cli" cat "$work/cut.vhd"
check "no sparse extent header"  "$cli" info "$work/tiny.vmdk"
check "not a regular file"       timeout 20 "$cli" info "$work/pipe.vmdk"
check "cannot open"              "$cli" export "$work/missing.vdi" --out "$work"
check "no such folder"           "$cli" export "$work/stream.vmdk" --out "$work/nowhere"
check "it is a folder"           "$cli" cat "$work"
echo "$pass passed, $fail failed"
[[ $fail -eq 0 ]]
