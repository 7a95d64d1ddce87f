#!/bin/bash
# The dissector under Debian's tshark against golden outputs, one scenario capture per call:
#   tshark_golden.sh MAKE_CAPTURES VKT_LUA GOLDEN_DIR SCENARIO
# Writes the capture, then compares
#   SCENARIO.fields.txt  tshark -T fields, one pass (what a plain "tshark -r" shows)
#   SCENARIO.V.txt       tshark -V -2 for the line record and VKT layers (both pairing links)
# With VKT_UPDATE_GOLDEN=1 the golden files are rewritten instead.
set -euo pipefail
make_captures=$1 lua=$2 golden=$3 name=$4

command -v tshark >/dev/null || { echo "tshark is not installed (scripts/install-deps.sh)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$make_captures" "$work" "$name"
capture=$work/$name.pcapng

# Time stamps print in UTC, whatever the machine's zone; stderr holds only tshark's root notice.
export TZ=UTC
tshark -X lua_script:"$lua" -r "$capture" -T fields -E header=y -E occurrence=a -E aggregator=, \
  -e frame.number -e vktline.event -e vkt.direction -e vkt.station -e vkt.command -e vkt.status \
  -e vkt.address -e vkt.count -e vkt.value.bit -e vkt.value.word -e vkt.value.float \
  -e vkt.checksum.status -e vkt.request_in -e vkt.response_in -e vkt.response_time \
  -e vkt.stray -e vkt.text -e _ws.expert.message -e frame.comment \
  2>"$work/err" >"$work/fields.txt" || { cat "$work/err"; exit 1; }
tshark -X lua_script:"$lua" -r "$capture" -2 -V -O vktline,vkt 2>>"$work/err" >"$work/V.txt" \
  || { cat "$work/err"; exit 1; }
if grep -v 'Running as user' "$work/err" | grep -q .; then
  echo "tshark complained:"; cat "$work/err"; exit 1
fi
if grep -q -i 'lua error\|\[Dissector bug' "$work/V.txt"; then
  echo "the dissector failed:"; grep -i -B2 'lua error\|\[Dissector bug' "$work/V.txt"; exit 1
fi

status=0
for kind in fields V; do
  want=$golden/$name.$kind.txt
  if [ "${VKT_UPDATE_GOLDEN:-0}" = 1 ]; then
    cp "$work/$kind.txt" "$want"
    continue
  fi
  if ! diff -u "$want" "$work/$kind.txt"; then
    echo "$name: tshark output differs from $want (VKT_UPDATE_GOLDEN=1 to accept)"
    status=1
  fi
done
exit $status
