#!/bin/bash
# The demo with a line capture: every frame of it decoded by the dissector, every request but the
# one to the silent station answered, every response paired, and decode agrees.
#   demo_capture.sh VKTHOST VKT_LUA
set -euo pipefail
vkthost=$(realpath "$1") lua=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$vkthost" --capture demo.pcapng demo >demo.out 2>&1 || { cat demo.out; exit 1; }
export TZ=UTC
tshark -X lua_script:"$lua" -r demo.pcapng -2 -T fields -E separator='|' \
  -e frame.number -e vktline.event -e vkt.direction -e vkt.station -e vkt.request_in \
  -e vkt.response_in -e vkt.checksum.status -e vkt.stray 2>/dev/null >fields.txt
status=0
fail() { echo "$*"; status=1; }
requests=$(awk -F'|' '$3 == "request"' fields.txt | wc -l)
responses=$(awk -F'|' '$3 == "response"' fields.txt | wc -l)
[ "$requests" -ge 10 ] || fail "only $requests requests in the demo capture"
# Every record of sent or received bytes belongs to a frame (or a part of one): nothing stray.
awk -F'|' '$8 != ""' fields.txt | grep -q . && fail "stray bytes: $(awk -F'|' '$8 != ""' fields.txt)"
awk -F'|' '$3 == "response" && $5 == ""' fields.txt | grep -q . && fail "unpaired responses"
awk -F'|' '$3 != "" && $7 != "1"' fields.txt | grep -q . && fail "bad checksums"
unanswered=$(awk -F'|' '$3 == "request" && $6 == "" {print $4}' fields.txt | sort -u | tr '\n' ' ')
[ "$unanswered" = "9 " ] || fail "unanswered requests to stations '$unanswered', not '9 '"
[ "$responses" -eq $((requests - 1)) ] || fail "$requests requests, $responses responses"
"$vkthost" decode demo.pcapng >decode.txt
grep -Eq '^ +7 +'"$((requests - 1))"' +'"$((requests - 1))"' +0 +0 ' decode.txt ||
  fail "decode summary for station 7: $(grep -E '^ +7 ' decode.txt)"
[ $status -eq 0 ] && echo "demo capture: $requests requests, $responses responses, all decoded and paired"
exit $status
