#!/bin/bash
# vkthost decode on the scenario captures against golden outputs:
#   decode_golden.sh MAKE_CAPTURES VKTHOST GOLDEN_DIR
# SCENARIO.decode.txt for each scenario, and checksum.decode.jsonl for --json.
# With VKT_UPDATE_GOLDEN=1 the golden files are rewritten instead.
set -euo pipefail
make_captures=$(realpath "$1") vkthost=$(realpath "$2") golden=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$make_captures" "$work"
cd "$work"
status=0
check() {  # golden file name, command...
  local want=$golden/$1
  shift
  "$@" >"$work/out" || { echo "failed: $*"; status=1; return; }
  if [ "${VKT_UPDATE_GOLDEN:-0}" = 1 ]; then
    cp "$work/out" "$want"
  elif ! diff -u "$want" "$work/out"; then
    echo "output of '$*' differs from $want (VKT_UPDATE_GOLDEN=1 to accept)"
    status=1
  fi
}
for name in worked block silent checksum stray modem; do
  check "$name.decode.txt" "$vkthost" decode "$name.pcapng"
done
check checksum.decode.jsonl "$vkthost" decode --json checksum.pcapng
# A file that is no capture is refused with status 1.
echo "not a capture" >text.pcapng
if "$vkthost" decode text.pcapng >/dev/null 2>"$work/err"; then
  echo "decode accepted a text file"; status=1
fi
grep -q "is not a pcapng file" "$work/err" || { echo "unexpected message:"; cat "$work/err"; status=1; }
exit $status
