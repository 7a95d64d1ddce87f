#!/usr/bin/env bash
# The Windows builds proven under Wine, through the real Win32 serial calls.
#
#   scripts/wine-test.sh --deps
#       installs what the Windows builds and this test need, when missing: the MinGW compilers for
#       i686 and x86_64, wine64, and (unless VKT_WINE32=0) the 32-bit Wine, which needs the i386
#       architecture added to dpkg; when that cannot be installed only the 64-bit build runs.
#   scripts/wine-test.sh --sim PATH/vktsim [--contract PATH/vkt_contract_win32.exe] BUILD_DIR...
#       for each MinGW build directory: checks the export and import tables of VktJX.dll and
#       ET32B.dll, then (where this Wine runs the build's word size) installs the two DLLs beside
#       the test programs in a throw-away Wine prefix, maps COM1 to the pseudo-terminal of a
#       station simulator through HKLM\Software\Wine\Ports, runs the INI cross-check and the
#       end-to-end cases of tests/win32, and finds the worked frames in the simulator's trace.
#       With --contract, also runs the serial contract against the Win32 backend on COM3, whose
#       remote end is COM4: the two ends of a pseudo-terminal pair that socat links.
#
# Ends with "wine-test: N passed, N failed" and the builds that ran; exit 0 only when every check
# passed and at least one build ran under Wine. VKT_KEEP_WINE=1 keeps the prefix and the trace.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)

log() { printf '%s\n' "$*"; }

# ---- installing ------------------------------------------------------------------------------

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

apt_install() {
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  # Another apt run on the machine holds the lock for a while: wait for it instead of failing.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -q \
    --no-install-recommends "$@"
}

install_deps() {
  local missing=()
  for p in g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 googletest socat; do
    installed "$p" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing: ${missing[*]}"
    apt_install "${missing[@]}"
  fi
  if [ "${VKT_WINE32:-1}" != 0 ] && ! installed wine32:i386; then
    log "installing wine32:i386 (32-bit Wine, for the i686 build)"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    if ! { dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386; } ||
       ! apt_install wine32:i386; then
      log "wine32 could not be installed: the i686 build will be checked but not run"
    fi
  fi
}

if [ "${1:-}" = "--deps" ]; then
  install_deps
  exit 0
fi

# ---- arguments and tools ---------------------------------------------------------------------

sim=""
if [ "${1:-}" = "--sim" ]; then
  sim=${2:-}
  shift 2 || true
fi
[ -n "$sim" ] && [ -x "$sim" ] || { log "wine-test: no station simulator (--sim PATH)"; exit 2; }
contract=""
if [ "${1:-}" = "--contract" ]; then
  contract=${2:-}
  shift 2 || true
  [ -f "$contract" ] || { log "wine-test: no contract program at '$contract'"; exit 2; }
  command -v socat >/dev/null || { log "wine-test: socat is not installed (scripts/wine-test.sh --deps)"; exit 2; }
fi
[ $# -gt 0 ] || { log "usage: $0 --sim PATH/vktsim BUILD_DIR..."; exit 2; }

first_of() { for c in "$@"; do [ -x "$c" ] && { echo "$c"; return 0; }; done; return 1; }
wine64=$(first_of "$(command -v wine64 || true)" /usr/lib/wine/wine64) ||
  { log "wine-test: wine64 is not installed (scripts/wine-test.sh --deps)"; exit 2; }
wineserver=$(first_of /usr/lib/wine/wineserver "$(command -v wineserver || true)") ||
  { log "wine-test: wineserver is not installed"; exit 2; }
# The 32-bit loader: with it, wine64 also starts 32-bit programs in a prefix made afterwards.
# It must also run: a kernel without 32-bit support (no IA32 emulation, as in some virtual
# machines) refuses every i386 program, the installed loader included.
can_run_32=0
if loader32=$(first_of /usr/lib/wine/wine /usr/lib/i386-linux-gnu/wine/wine); then
  if "$loader32" --version >/dev/null 2>&1; then
    can_run_32=1
  else
    log "wine-test: this kernel runs no 32-bit programs ($loader32 does not start)"
  fi
fi

passed=0 failed=0
ran=() skipped=()
check() {  # check NAME COMMAND...: runs a check, counts and reports it
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    log "ok   $name"
  else
    failed=$((failed + 1))
    log "FAIL $name"
  fi
}

# ---- the Wine prefix and the simulator -------------------------------------------------------

work=$(mktemp -d /tmp/vkt-wine.XXXXXX)
sim_pid="" pair_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null || true
  [ -n "$pair_pid" ] && kill "$pair_pid" 2>/dev/null && wait "$pair_pid" 2>/dev/null || true
  WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null || true
  if [ "${VKT_KEEP_WINE:-0}" = 1 ]; then log "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer dialogs
unset DISPLAY VKTJX_LOG                    # the driver log goes to c:/VKTJX.log

setup_prefix() {
  log "making a Wine prefix in $WINEPREFIX"
  timeout 300 "$wine64" wineboot -i >"$work/wineboot.log" 2>&1 || {
    log "wineboot failed:"; tail -20 "$work/wineboot.log"; return 1; }
  "$wineserver" -w

  # Station 1's words 0x10 and 0x11 answer the worked read frame.
  printf '1 word 0x10 0x1234 0xABCD\n' >"$work/stations.init"
  "$sim" --pattern --stations 1-9 --init-file "$work/stations.init" --trace \
    >"$work/sim.out" 2>"$work/sim.trace" &
  sim_pid=$!
  local pts=""
  for _ in $(seq 100); do
    pts=$(sed -n 's/^vktsim: listening on //p' "$work/sim.out")
    [ -n "$pts" ] && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$pts" ] || { log "vktsim did not start:"; cat "$work/sim.trace"; return 1; }

  # Wine maps its COM ports when it starts: set the values, then stop the running server.
  "$wine64" reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$pts" /f >/dev/null
  if [ -n "$contract" ]; then
    socat pty,raw,echo=0,link="$work/com3" pty,raw,echo=0,link="$work/com4" 2>"$work/socat.log" &
    pair_pid=$!
    for _ in $(seq 100); do [ -e "$work/com3" ] && [ -e "$work/com4" ] && break; sleep 0.1; done
    [ -e "$work/com3" ] && [ -e "$work/com4" ] || { log "socat made no pty pair:"; cat "$work/socat.log"; return 1; }
    "$wine64" reg add 'HKLM\Software\Wine\Ports' /v COM3 /d "$(readlink -f "$work/com3")" /f >/dev/null
    "$wine64" reg add 'HKLM\Software\Wine\Ports' /v COM4 /d "$(readlink -f "$work/com4")" /f >/dev/null
    log "COM3, COM4 = $(readlink -f "$work/com3"), $(readlink -f "$work/com4") (socat pid $pair_pid)"
  fi
  "$wineserver" -k || true
  "$wineserver" -w || true
  log "COM1 = $pts (vktsim pid $sim_pid)"
}

# ---- per build -------------------------------------------------------------------------------

find_one() { find "$1" -name "$2" -type f -not -path '*/CMakeFiles/*' | head -1; }

dll_tables() {  # dll_tables OBJDUMP FORMAT DIR
  local objdump=$1 format=$2 dir=$3 driver values
  driver=$(find_one "$dir" VktJX.dll)
  values=$(find_one "$dir" ET32B.dll)
  [ -n "$driver" ] && [ -n "$values" ] || { log "  VktJX.dll or ET32B.dll not built in $dir"; return 1; }
  "$here/tests/win32/check_dll_tables.sh" "$objdump" "$driver" "$format" ET32B.dll \
    drvStartComm drvStopComm drvGetCaps drvGetDriverName drvSetSettingsHandle drvDriverDialog \
    drvReadValue drvReadBlock drvReadBlockElement drvWriteValue drvWriteBlock \
    drvWriteBlockElement | sed 's/^/  /'
  local rc=${PIPESTATUS[0]}
  "$here/tests/win32/check_dll_tables.sh" "$objdump" "$values" "$format" "" \
    $(sed -n 's/^  *\(hv[A-Za-z0-9]*\) *$/\1/p' "$here/src/valuelib/et32b.def") | sed 's/^/  /'
  local rc2=${PIPESTATUS[0]}
  [ "$rc" -eq 0 ] && [ "$rc2" -eq 0 ]
}

# Runs a Windows program of the install directory; passes only when its own closing line says
# nothing failed (wine's exit status alone does not show a program that never started).
run_windows() {  # run_windows ARCH PROGRAM LABEL ARGS...
  local arch=$1 program=$2 label=$3
  shift 3
  local out="$work/$arch-$label.out" rc=0
  (cd "$WINEPREFIX/drive_c/vkt/$arch/work" &&
   timeout 600 "$wine64" "C:\\vkt\\$arch\\$program" "$@") >"$out" 2>&1 || rc=$?
  sed 's/^/  /' "$out"
  [ "$rc" -eq 0 ] && grep -Eq "^$label: [1-9][0-9]* passed, 0 failed" "$out"
}

# The bytes on the wire, from the trace lines the run added (from line $1 on).
on_wire() {  # on_wire FROM_LINE
  local from=$1 ok=0 trace
  local frames=(
    "<- .*[|] 5A 01 03 91 10 00 02 58 FF$"          # read two words at 0x0010 of station 1
    "-> .*[|] 5A 01 04 00 34 12 CD AB 3C FE$"       # ... answered with 1234 and ABCD
    "<- .*[|] 5A 05 05 95 10 00 01 34 12 09 FF$"    # write word 1234 at 0x0010 of station 5
    "-> .*[|] 5A 05 00 00 FA FF$"                   # ... answered without data
    "<- .*[|] 5A 07 03 91 E8 03 7C "                # 300 words from 1000: 124 at 1000,
    "<- .*[|] 5A 07 03 91 64 04 7C "                # 124 at 1124,
    "<- .*[|] 5A 07 03 91 E0 04 34 "                # and 52 at 1248
  )
  # The simulator traces a response after it has sent it: on a loaded machine the last lines can
  # land a moment after the program has ended, so give the trace up to 5 s to show them all.
  local f missing
  for _ in $(seq 50); do
    trace=$(tail -n +"$from" "$work/sim.trace")
    missing=0
    for f in "${frames[@]}"; do
      printf '%s\n' "$trace" | grep -Eq -- "$f" || { missing=1; break; }
    done
    [ "$missing" -eq 0 ] && break
    sleep 0.1
  done
  for f in "${frames[@]}"; do
    printf '%s\n' "$trace" | grep -Eq -- "$f" || { log "  not on the wire: $f"; ok=1; }
  done
  # A silent station on a direct line is asked once per request, not retried.
  local asked
  asked=$(printf '%s\n' "$trace" | grep -c "station 42 not served.*[|] 5A 2A 03 91 10 00 01 " || true)
  [ "$asked" -eq 1 ] || { log "  the silent word read went out $asked times, expected once"; ok=1; }
  return $ok
}

log_file_in_prefix() {
  [ -s "$WINEPREFIX/drive_c/VKTJX.log" ] || { log "  no driver log at drive_c/VKTJX.log"; return 1; }
  cp "$WINEPREFIX/drive_c/VKTJX.log" "$work/VKTJX-$1.log"
}

prefix_ready=0
for dir in "$@"; do
  [ -d "$dir" ] || { log "FAIL $dir: no such build directory"; failed=$((failed + 1)); continue; }
  driver=$(find_one "$dir" VktJX.dll)
  if [ -z "$driver" ]; then
    log "FAIL $dir: VktJX.dll was not built"
    failed=$((failed + 1))
    continue
  fi
  case $(x86_64-w64-mingw32-objdump -f "$driver" 2>/dev/null || i686-w64-mingw32-objdump -f "$driver") in
    *pei-i386*) arch=i686 objdump=i686-w64-mingw32-objdump format=pei-i386 ;;
    *pei-x86-64*) arch=x86_64 objdump=x86_64-w64-mingw32-objdump format=pei-x86-64 ;;
    *) log "FAIL $driver: not a Windows DLL"; failed=$((failed + 1)); continue ;;
  esac
  log "== $arch build: $dir"
  check "$arch: export and import tables" dll_tables "$objdump" "$format" "$dir"

  if [ "$arch" = i686 ] && [ $can_run_32 -eq 0 ]; then
    skipped+=("$arch (no 32-bit programs run here)")
    log "  $arch build not run: no 32-bit programs run here (the 32-bit Wine of scripts/wine-test.sh --deps, and a kernel that runs i386 programs)"
    continue
  fi
  if [ $prefix_ready -eq 0 ]; then
    if setup_prefix; then prefix_ready=1; else failed=$((failed + 1)); log "FAIL Wine setup"; break; fi
  fi

  # Installed as on a host machine: the two DLLs beside the programs that load them.
  install_dir="$WINEPREFIX/drive_c/vkt/$arch"
  mkdir -p "$install_dir/work"
  for f in VktJX.dll ET32B.dll vkt_wintest.exe vkt_inicheck.exe; do
    src=$(find_one "$dir" "$f")
    [ -n "$src" ] && cp "$src" "$install_dir/"
  done
  rm -f "$WINEPREFIX/drive_c/VKTJX.log"

  check "$arch: INI reader against GetPrivateProfileStringA" \
    run_windows "$arch" vkt_inicheck.exe inicheck
  from=$(($(wc -l <"$work/sim.trace") + 1))
  check "$arch: end-to-end cases through the exports on COM1" \
    run_windows "$arch" vkt_wintest.exe wintest --port 1
  check "$arch: frames on the wire" on_wire "$from"
  check "$arch: driver log at c:/VKTJX.log in the prefix" log_file_in_prefix "$arch"
  ran+=("$arch")
done

# The serial contract against the Win32 backend; its count and the cases Wine cannot carry are in
# its output.
contract_run() {
  local out="$work/contract.out" rc=0
  cp "$contract" "$WINEPREFIX/drive_c/vkt_contract_win32.exe"
  timeout 600 "$wine64" 'C:\vkt_contract_win32.exe' --port COM3 --remote COM4 >"$out" 2>&1 || rc=$?
  sed 's/^/  /' "$out"
  [ "$rc" -eq 0 ] && grep -q '^serial contract, Win32 under Wine: [1-9]' "$out" &&
    grep -q '^\[  PASSED  \]' "$out" && ! grep -q '^\[  FAILED  \]' "$out"
}
if [ -n "$contract" ]; then
  if [ $prefix_ready -eq 0 ]; then
    if setup_prefix; then prefix_ready=1; else failed=$((failed + 1)); log "FAIL Wine setup"; fi
  fi
  [ $prefix_ready -eq 1 ] && check "x86_64: serial contract against the Win32 backend" contract_run
fi

log "wine builds run: ${ran[*]:-none}${skipped:+; not run: ${skipped[*]}}"
log "wine-test: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ ${#ran[@]} -gt 0 ]
