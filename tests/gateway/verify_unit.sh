#!/bin/sh
# systemd-analyze verify on the template unit, as an instance, with ExecStart pointed at the
# built binary (verify wants the program to exist). Needs no running systemd.
set -eu
unit=$1 binary=$2
command -v systemd-analyze >/dev/null || { echo "systemd-analyze missing"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|^ExecStart=[^ ]*|ExecStart=$binary|" "$unit" > "$dir/vktgw@.service"
cp "$dir/vktgw@.service" "$dir/vktgw@line1.service"
out=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$dir/vktgw@line1.service" 2>&1) || {
  echo "$out"; exit 1; }
# verify exits 0 on some warnings: any line about our unit fails the test.
if printf '%s\n' "$out" | grep -q 'vktgw@'; then echo "$out"; exit 1; fi
grep -q '^Type=notify$' "$unit" && grep -q '^WatchdogSec=' "$unit" && grep -q '^SupplementaryGroups=dialout$' "$unit"
