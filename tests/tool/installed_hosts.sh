# Sourced by the install-tree and package tests: hosts built against an installed driver, and
# the installed vkthost, run against the installed simulator on its pseudo-terminal with the
# installed example settings unchanged (COM1, 9600 bit/s, mapped to the simulator).
#
# run_installed_hosts WORK VKTSIM VKTHOST EXAMPLE_CFG HOST...
#   each HOST is run with station 3 in WORK/run; stops at the first that fails, through the
#   caller's `fail`. The simulator's pid is in the caller's `simpid` while it runs, for the
#   caller's clean-up.
run_installed_hosts() {
  local work=$1 vktsim=$2 vkthost=$3 cfg=$4
  shift 4
  "$vktsim" --stations 3 > "$work/sim.out" 2> "$work/sim.err" &
  simpid=$!
  local device=""
  for _ in $(seq 100); do
    device=$(sed -n 's/^vktsim: listening on //p' "$work/sim.out")
    [ -n "$device" ] && break
    sleep 0.05
  done
  [ -n "$device" ] || fail "the installed simulator did not start: $(cat "$work/sim.err")"
  mkdir -p "$work/run"
  cp "$cfg" "$work/run/"
  local host log out
  for host in "$@"; do
    log="$work/$(basename "$host").log"
    (cd "$work/run" && VKTJX_COM1=$device "$host" 3 > "$log" 2>&1) ||
      fail "the host $host failed: $(cat "$log")"
  done
  out=$(VKTJX_COM1=$device "$vkthost" --dir "$work/run" read 3 word 50 3) ||
    fail "the installed vkthost failed: $out"
  case "$out" in *"50: 4321 -7 12"*) ;; *) fail "installed vkthost read: $out" ;; esac
  kill "$simpid"
  wait "$simpid" 2>/dev/null || true
  simpid=""
}
