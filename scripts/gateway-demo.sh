#!/usr/bin/env bash
# The gateway scene of `make demo`: vktsim on a pseudo-terminal, a mosquitto broker on a free
# loopback port, vktgw between them, and mosquitto_sub showing what a consumer sees, with one
# write and its result. Everything runs in a temporary directory and is stopped at the end.
# Usage: gateway-demo.sh BUILD_DIR
set -euo pipefail
build=${1:-build}
build=$(cd "$build" && pwd)
for tool in mosquitto mosquitto_sub mosquitto_pub; do
  command -v "$tool" >/dev/null || { echo "gateway demo: $tool is not installed (scripts/install-deps.sh)" >&2; exit 1; }
done
dir=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

. "$(dirname "$0")/lib/loopback-broker.sh"
start_loopback_broker "$dir"
port=$broker_port
"$build/tools/vktsim/vktsim" --stations 7 --pattern --link "$dir/line" > "$dir/vktsim.out" 2>/dev/null & pids+=($!)
for _ in $(seq 50); do [ -e "$dir/line" ] && grep -q listening "$dir/vktsim.out" && break; sleep 0.1; done
printf '[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=19200\npcpsVktRespTmo=100\npcpsVktComRetry=1\n' > "$dir/VktJX.Cfg"
cat > "$dir/vktgw.toml" <<TOML
[line]
dir  = "."
port = "COM1=$dir/line"
[mqtt]
url    = "mqtt://127.0.0.1:$port"
prefix = "vkt/demo"
[demotion]
after_failures = 2
period_ms      = 500
[[poll]]
name        = "temperatures"
station     = 7
kind        = "float"
address     = 20
count       = 2
interval_ms = 200
[[poll]]
name        = "absent"
station     = 9
kind        = "word"
address     = 0
interval_ms = 200
TOML

echo "== vktgw: station 7 on the line (vktsim), station 9 absent; mosquitto_sub -t 'vkt/demo/#' -v"
"$build/tools/vktgw/vktgw" "$dir/vktgw.toml" 2> "$dir/vktgw.err" & gw=$!; pids+=($gw)
mosquitto_sub -p "$port" -t 'vkt/demo/#' -v > "$dir/sub.out" & pids+=($!)
sleep 1.5
echo "== mosquitto_pub -t vkt/demo/7/float/20/set -m 3.25"
mosquitto_pub -p "$port" -t vkt/demo/7/float/20/set -m 3.25
sleep 0.6
echo "== kill -TERM vktgw"
kill -TERM "$gw"; wait "$gw" && echo "vktgw exit status 0"
sleep 0.2
sed 's/^/  /' "$dir/sub.out"
