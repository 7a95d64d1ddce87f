#!/usr/bin/env bash
# The man pages and the bash completions against what they describe: every option a tool's
# --help lists is in its page and its completion, every key of the README's settings tables is in
# VktJX.Cfg(5) with the same default, groff formats each page without a warning, and the
# completions offer what a user types next.
# Usage: check_docs.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
failures=0
fail() { echo "man pages: $*" >&2; failures=$((failures + 1)); }

# A page's text with the roff escapes of names undone: \- is -, \e is \, fonts dropped.
plain() { sed -e 's/\\-/-/g' -e 's/\\e/\\/g' -e 's/\\f[BIR]//g' "$1"; }

for tool in vkthost vktsim vktgw; do
  page=$(ls "$src"/man/"$tool".[0-9] 2>/dev/null | head -1)
  bin=$build/tools/$tool/$tool
  [ -n "$page" ] && [ -f "$page" ] || { fail "no page for $tool"; continue; }
  [ -x "$bin" ] || { fail "no $bin to ask for --help"; continue; }
  text=$(plain "$page")
  while read -r option; do
    grep -qE -- "^\.B ${option}( |$)" <<<"$text" || fail "$tool(1) lacks the option $option"
    grep -qE -- "(^|[ \"])${option}( |\"|$)" "$src/completions/$tool" ||
      fail "the completion of $tool lacks the option $option"
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

# The gateway's keys: | `[table] key` | default | ... rows, against vktgw.toml(5) likewise.
toml=$(plain "$src/man/vktgw.toml.5")
while IFS='|' read -r _ key default _; do
  key=$(sed -e 's/`//g' -e 's/^ *//' -e 's/ *$//' <<<"$key")
  default=$(sed -e 's/`//g' -e 's/^ *//' -e 's/ *$//' <<<"$default")
  entry=$(awk -v k=".B $key" '$0 == k {found = 1; next} found && /^Default:/ {print; exit}' <<<"$toml")
  [ -n "$entry" ] || { fail "vktgw.toml(5) lacks $key"; continue; }
  [ "$entry" = "Default: $default." ] || fail "vktgw.toml(5) gives $key '$entry', the README '$default'"
done < <(grep -E '^\| `\[\[?[a-z]+\]\]? [a-z_]+` \|' "$src/README.md")

for page in "$src"/man/*.[0-9]; do
  warnings=$(groff -man -ww -z "$page" 2>&1) || true
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done

# What the completions offer at a few points of a command line.
complete_at() {  # tool word... : the candidates for the last word
  local tool=$1
  shift
  bash -c 'complete() { :; }; compopt() { :; }; source "$1"; shift; COMP_WORDS=("$@");
           COMP_CWORD=$(($# - 1)); "_$(basename "$0")"; printf "%s\n" "${COMPREPLY[@]}"' \
    "$tool" "$src/completions/$tool" "$tool" "$@" | sort | tr '\n' ' '
}
expect_completion() {  # expected, tool, words...
  local want=$1 got
  shift
  got=$(complete_at "$@")
  [ "$got" = "$want" ] || fail "completing '$*' offers '$got', not '$want'"
}
expect_completion "codes decode demo poll read write " vkthost ""
expect_completion "bit float reg word " vkthost read 7 ""
expect_completion "bit float reg word " vkthost --dir /tmp read 7 then write 3 ""
expect_completion "new " vkthost --log n
expect_completion "even " vktsim --parity e
expect_completion "--check-config " vktgw --check
expect_completion "--modem --modem-busy --modem-connect-delay --modem-words " vktsim --mod

[ "$failures" -eq 0 ] || exit 1
echo "man pages and completions agree with the tools and the README"
