#!/usr/bin/env bash
# The man pages against what they describe: every option a tool's --help lists is in its page,
# every key of the README's settings tables is in VktJX.Cfg(5) with the same default, and groff
# formats each page without a warning.
# Usage: check_manpages.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
failures=0
fail() { echo "man pages: $*" >&2; failures=$((failures + 1)); }

# A page's text with the roff escapes of names undone: \- is -, \e is \, fonts dropped.
plain() { sed -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/\\f[BIR]//g' "$1"; }

for tool in vkthost vktsim; do
  page=$src/man/$tool.1
  bin=$build/tools/$tool/$tool
  [ -f "$page" ] || { fail "no page for $tool"; continue; }
  [ -x "$bin" ] || { fail "no $bin to ask for --help"; continue; }
  text=$(plain "$page")
  while read -r option; do
    grep -qE -- "^\.B ${option}( |$)" <<<"$text" || fail "$tool(1) lacks the option $option"
  done < <("$bin" --help | grep -oE '^ +--[a-z][a-z0-9-]*' | tr -d ' ' | sort -u)
done

# Settings: | `key` | default | ... rows of the README, against ".B key" and "Default: X." below it.
cfg=$(plain "$src/man/VktJX.Cfg.5")
while IFS='|' read -r _ key default _; do
  key=$(sed -e 's/`//g' -e 's/^ *//' -e 's/ *$//' <<<"$key")
  default=$(sed -e 's/`//g' -e 's/^ *//' -e 's/ *$//' <<<"$default")
  entry=$(awk -v k=".B $key" '$0 == k {found = 1; next} found && /^Default:/ {print; exit}' <<<"$cfg")
  [ -n "$entry" ] || { fail "VktJX.Cfg(5) lacks $key"; continue; }
  case "$entry" in
    "Default: $default."*) ;;
    *) fail "VktJX.Cfg(5) gives $key '$entry', the README '$default'" ;;
  esac
done < <(grep -E '^\| `(pcps|M_)[A-Za-z_]+` \|' "$src/README.md")

for page in "$src"/man/*.[0-9]; do
  warnings=$(groff -man -ww -z "$page" 2>&1) || true
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

[ "$failures" -eq 0 ] || exit 1
echo "man pages: options and settings agree with the tools and the README"
