#!/usr/bin/env bash
# Keeps the result-code table of README.md equal to the code's own table: rewrites the lines
# between the markers "<!-- result-codes:begin -->" and "<!-- result-codes:end -->" with the
# output of `vkthost codes --markdown`. With --check it changes nothing and exits 1 when the
# README differs.
#
#   scripts/readme-codes.sh [--check] [VKTHOST]      (default VKTHOST: build/tools/vkthost/vkthost)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
check=0
if [ "${1:-}" = "--check" ]; then check=1; shift; fi
vkthost=${1:-$root/build/tools/vkthost/vkthost}
readme=$root/README.md

table=$("$vkthost" codes --markdown)
begin='<!-- result-codes:begin -->'
end='<!-- result-codes:end -->'
grep -qxF "$begin" "$readme" && grep -qxF "$end" "$readme" || {
  echo "readme-codes: $readme lacks the markers $begin and $end" >&2
  exit 1
}

new=$(TABLE="$table" awk -v b="$begin" -v e="$end" '
  $0 == b { print; print ENVIRON["TABLE"]; skip = 1; next }
  $0 == e { skip = 0 }
  !skip { print }' "$readme")

if [ "$check" -eq 1 ]; then
  if [ "$new" != "$(cat "$readme")" ]; then
    echo "readme-codes: the result-code table in README.md is out of date; run scripts/readme-codes.sh" >&2
    diff <(cat "$readme") <(printf '%s\n' "$new") >&2 || true
    exit 1
  fi
  echo "readme-codes: README.md table is current"
else
  printf '%s\n' "$new" > "$readme"
fi
