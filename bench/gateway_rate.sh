#!/usr/bin/env bash
# The scan rate of live stations with and without a dead one on the same line: vktgw polls
# stations 1 and 2 (and, in the second run, station 9, which never answers) for SECONDS
# seconds; vktsim's request counts at exit give the reads of the live stations. Prints
#   GATEWAY live_reads_alone=N live_reads_with_dead=N ratio=R
# and exits 1 when the ratio is below 0.9. A timing figure: run it on a quiet machine.
#   bench/gateway_rate.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "${1:?usage: bench/gateway_rate.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-6}
dir=$(mktemp -d /tmp/vkt_gateway_rate.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

. "$(dirname "$0")/../scripts/lib/loopback-broker.sh"
start_loopback_broker "$dir"
port=$broker_port
printf '[PC_PORT_SESSION]\npcpsPort=1\npcpsBaud=19200\npcpsVktRespTmo=100\npcpsVktComRetry=1\n' > "$dir/VktJX.Cfg"

group() {  # name station
  printf '[[poll]]\nname = "%s"\nstation = %s\nkind = "word"\naddress = 0\ncount = 20\ninterval_ms = 250\n' "$1" "$2"
}

# Reads of stations 1 and 2 in one run; $1 = "dead" adds station 9.
run() {
  rm -f "$dir/line"
  "$build/tools/vktsim/vktsim" --stations 1,2 --link "$dir/line" > "$dir/sim.out" 2> "$dir/sim.err" &
  local sim=$!
  for _ in $(seq 50); do grep -q listening "$dir/sim.out" 2>/dev/null && break; sleep 0.1; done
  {
    printf '[line]\ndir = "."\nport = "COM1=%s/line"\n' "$dir"
    printf '[mqtt]\nurl = "mqtt://127.0.0.1:%s"\nprefix = "vkt/rate"\n' "$port"
    printf '[demotion]\nafter_failures = 3\nperiod_ms = 1000\nmax_period_ms = 2000\n'
    group live1 1
    group live2 2
    [ "$1" = dead ] && group dead 9
  } > "$dir/gw.toml"
  "$build/tools/vktgw/vktgw" "$dir/gw.toml" 2> "$dir/gw.err" &
  local gw=$!
  sleep "$seconds"
  kill -TERM "$gw"; wait "$gw" || true
  kill -TERM "$sim"; wait "$sim" || true
  # the simulator's exit report: the responses are the reads of the served (live) stations
  sed -n 's/^vktsim: requests [0-9]*, responses \([0-9]*\).*/\1/p' "$dir/sim.err" | head -1
}

alone=$(run alone)
with=$(run dead)
ratio=$(awk -v a="$alone" -v b="$with" 'BEGIN { printf "%.3f", (a > 0 ? b / a : 0) }')
echo "GATEWAY live_reads_alone=$alone live_reads_with_dead=$with ratio=$ratio"
awk -v r="$ratio" 'BEGIN { exit r >= 0.9 ? 0 : 1 }'
