#!/usr/bin/env bash
# `make bench`: runs the benchmark programs of a build directory and prints one table and, last,
# the summary line
#   BENCH ratio_9600=R ratio_115200=R allocs_per_request=N instr_per_txn=N peer_ratio_115200=R peer_instr_per_txn=N
# (ratios of 300-word block reads, instructions of single-word reads).
#
#   bench/run.sh BUILD_DIR   (SINGLE=N BLOCK=N: transactions per row; REPEATS=N: runs per row)
set -euo pipefail

build=${1:?usage: bench/run.sh BUILD_DIR}
bin=$build/bench
single=${SINGLE:-200}
block=${BLOCK:-20}
repeats=${REPEATS:-3}
work=$(mktemp -d /tmp/vkt_bench_run.XXXXXX)
trap 'rm -rf "$work"' EXIT

for p in vkt_bench vkt_bench_modbus vkt_bench_relay; do
  [ -x "$bin/$p" ] || { echo "bench: $bin/$p is missing (configure with -DVKT_BUILD_BENCH=ON)" >&2; exit 1; }
done
command -v valgrind >/dev/null || { echo "bench: valgrind is missing" >&2; exit 1; }

# The machine is shared: each row is measured REPEATS times, driver and peer taking turns so
# that both see the same load, and the table keeps each row's fastest run.
: > "$work/rows"
for run in $(seq 1 "$repeats"); do
  echo "bench: run $run of $repeats: the driver (vktsim answering at once; paced relay at 9600 and 115200 bit/s)" >&2
  "$bin/vkt_bench" --single "$single" --block "$block" >> "$work/rows"
  echo "bench: run $run of $repeats: the libmodbus peer over the same relay" >&2
  for baud in 0 9600 115200; do
    "$bin/vkt_bench_modbus" --relay "$bin/vkt_bench_relay" --baud "$baud" --registers 1 --n "$single" >> "$work/rows"
    "$bin/vkt_bench_modbus" --relay "$bin/vkt_bench_relay" --baud "$baud" --registers 300 --n "$block" >> "$work/rows"
  done
done

# Instructions counted by callgrind only while the named function runs, divided by its calls.
# Helper processes (simulator, relay, server) are started with exec and are not traced. No
# warm-up calls in these runs: every call of the function is one of the counted transactions.
instr() {  # name toggle-function command...
  local name=$1 fn=$2
  shift 2
  # Symbols bound at load, for both sides alike: no lazy binding inside the counted calls.
  LD_BIND_NOW=1 valgrind --tool=callgrind --toggle-collect="$fn" --callgrind-out-file="$work/cg.$name.%p" \
    "$@" > "$work/$name.out" 2> "$work/$name.err" || { cat "$work/$name.err" >&2; return 1; }
  local total
  total=$(cat "$work"/cg."$name".* | awk '$1 == "totals:" { t += $2 } END { print t + 0 }')
  echo "$total"
}
echo "bench: counting instructions with callgrind" >&2
d1=$(instr drv1 drvReadValue "$bin/vkt_bench" --instr single "$single")
d300=$(instr drv300 drvReadBlock "$bin/vkt_bench" --instr block "$block")
p1=$(instr peer1 modbus_read_registers "$bin/vkt_bench_modbus" --relay "$bin/vkt_bench_relay" --registers 1 --n "$single" --instr)
p300=$(instr peer300 modbus_read_registers "$bin/vkt_bench_modbus" --relay "$bin/vkt_bench_relay" --registers 300 --n "$block" --instr)
grep -q 'errors=0' "$work/drv1.out" && grep -q 'errors=0' "$work/drv300.out" || {
  echo "bench: the driver read wrong values under callgrind" >&2; exit 1; }
grep -q 'errors=0' "$work/peer1.out" && grep -q 'errors=0' "$work/peer300.out" || {
  echo "bench: the peer read wrong values under callgrind" >&2; exit 1; }

if grep -q 'errors=[1-9]' "$work/rows"; then
  echo "bench: some transactions failed or read wrong values:" >&2
  grep 'errors=[1-9]' "$work/rows" >&2
  exit 1
fi

awk -v repeats="$repeats" -v d1="$d1" -v d300="$d300" -v p1="$p1" -v p300="$p300" -v single="$single" -v block="$block" '
function field(line, key,   i, n, parts) {
  n = split(line, parts, " ")
  for (i = 1; i <= n; i++) if (index(parts[i], key "=") == 1) return substr(parts[i], length(key) + 2)
  return ""
}
function num(x) { return (x == int(x)) ? sprintf("%d", x) : sprintf("%.3f", x) }
/^ROW/ {
  who = field($0, "who"); baud = field($0, "baud")
  what = (who == "driver") ? field($0, "what") : (field($0, "registers") == 1 ? "single" : "block300")
  key = who SUBSEP baud SUBSEP what
  t = field($0, "us_per_txn") + 0
  if (!(key in us) || t < us[key]) {
    us[key] = t; lim[key] = field($0, "limit_us") + 0
    ratio[key] = lim[key] > 0 ? t / lim[key] : 0
  }
  if (who == "driver") {
    if (field($0, "allocs_driver") + 0 >= ad[key] + 0) ad[key] = field($0, "allocs_driver") + 0
    if (field($0, "allocs_value") + 0 >= av[key] + 0) av[key] = field($0, "allocs_value") + 0
    if (ad[key] > maxAllocs) maxAllocs = ad[key]
  }
}
END {
  instr["driver" SUBSEP "single"] = d1 / single; instr["driver" SUBSEP "block300"] = d300 / block
  instr["peer" SUBSEP "single"] = p1 / single;   instr["peer" SUBSEP "block300"] = p300 / block
  printf "\n%-28s %-9s %-10s %10s %10s %7s %13s %11s %11s\n", "who", "line", "work", "ms/txn", "limit ms", "ratio", "allocs/req", "value lib", "instr/txn"
  split("driver peer", whos, " "); split("0 9600 115200", bauds, " "); split("single block300", whats, " ")
  for (w = 1; w <= 2; w++) for (b = 1; b <= 3; b++) for (k = 1; k <= 2; k++) {
    key = whos[w] SUBSEP bauds[b] SUBSEP whats[k]
    if (!(key in us)) continue
    name = (whos[w] == "driver") ? "VktJX (drvRead*)" : "libmodbus RTU (peer)"
    line = (bauds[b] == 0) ? "unpaced" : bauds[b]
    work = (whats[k] == "single") ? "1 word" : "300 words"
    ins = (bauds[b] == 0) ? sprintf("%.0f", instr[whos[w] SUBSEP whats[k]]) : "-"
    allocs = (whos[w] == "driver") ? num(ad[key] + 0) : "-"
    vlib = (whos[w] == "driver") ? num(av[key] + 0) : "-"
    r = lim[key] > 0 ? sprintf("%.3f", ratio[key]) : "-"
    l = lim[key] > 0 ? sprintf("%.2f", lim[key] / 1000) : "-"
    printf "%-28s %-9s %-10s %10.2f %10s %7s %13s %11s %11s\n", name, line, work, us[key] / 1000, l, r, allocs, vlib, ins
  }
  print ""
  print "Line model: one pseudo-terminal per side and a relay process between them that hands each"
  print "byte on when its last bit would have arrived (10 bits per byte, 8N1), each direction on"
  print "its own wire; vktsim (or the libmodbus server) answers at once. Unpaced: no relay for the"
  print "driver (it sits on vktsim'"'"'s own pseudo-terminal), an unpaced relay for the peer."
  print "Limit, driver: per frame the quiet-line read before the request (5 ms plus its per-byte"
  print "allowance: 2 ms at 9600, 0 at 115200) and the bytes of request (9) and response (6 + data)"
  print "on the wire. Limit, peer: its bytes on the wire (8 per request, 5 + 2 per register back)."
  print "allocs/req: heap allocations inside the export call made by the driver; value lib: those"
  print "made by the host value library (hvDim of the 300-word array) during the same call."
  print "instr/txn: callgrind, counted only inside drvReadValue / drvReadBlock / modbus_read_registers."
  printf "Each time is the fastest of %d runs of %d (1 word) or %d (300 words) transactions.\n", repeats, single, block
  printf "Summary line: ratios of 300-word block reads, instructions of single-word reads.\n\n"
  printf "BENCH ratio_9600=%.3f ratio_115200=%.3f allocs_per_request=%s instr_per_txn=%.0f peer_ratio_115200=%.3f peer_instr_per_txn=%.0f\n", \
    ratio["driver" SUBSEP 9600 SUBSEP "block300"], ratio["driver" SUBSEP 115200 SUBSEP "block300"], num(maxAllocs), \
    instr["driver" SUBSEP "single"], ratio["peer" SUBSEP 115200 SUBSEP "block300"], instr["peer" SUBSEP "single"]
}' "$work/rows"
