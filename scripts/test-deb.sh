#!/usr/bin/env bash
# Installs the built Debian packages on this machine, uses them as a user and a host developer
# would (vkthost --help, man -w, a C host built against the installed development package and run
# against the installed simulator), then purges them and checks that nothing of them is left.
# Needs root (or sudo). Usage: scripts/test-deb.sh [DEBDIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
debs=$(realpath -m "${1:-$here/build/deb}")
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
packages=(libvktjx0 libet32b0 libvktjx-dev vktjx-tools vktgw)
work=$(mktemp -d "${TMPDIR:-/tmp}/vktjx-deb.XXXXXX")
simpid=""
installed=0
purge() { $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${packages[@]}" > "$work/purge.log" 2>&1; }
cleanup() {
  if [ -n "$simpid" ]; then kill "$simpid" 2>/dev/null || true; wait "$simpid" 2>/dev/null || true; fi
  [ "$installed" -eq 1 ] && purge || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "deb test: $*" >&2; exit 1; }

for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    fail "$p is already installed on this machine; purge it first"
  fi
done
files=()
for p in "${packages[@]}"; do
  f=$(ls "$debs/${p}_"*.deb 2>/dev/null | head -1)
  [ -n "$f" ] || fail "no package $p in $debs (make deb)"
  files+=("$f")
done

installed=1
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${files[@]}" \
  > "$work/install.log" 2>&1 || { cat "$work/install.log"; fail "the packages do not install"; }
dpkg -L "${packages[@]}" | sort -u > "$work/files"

vkthost --help > "$work/help" || fail "vkthost --help fails"
grep -q "^usage: vkthost" "$work/help" || fail "vkthost --help says: $(head -2 "$work/help")"
vktsim --help > /dev/null || fail "vktsim --help fails"
vktgw --check-config /usr/share/vktjx/examples/vktgw.toml > "$work/check.log" 2>&1 ||
  { cat "$work/check.log"; fail "vktgw refuses its own example configuration"; }
for page in vkthost vktsim VktJX.Cfg vktgw vktgw.toml; do
  man -w "$page" > /dev/null || fail "man -w $page finds no page"
done
for tool in vkthost vktsim vktgw; do
  [ -f "/usr/share/bash-completion/completions/$tool" ] || fail "no bash completion for $tool"
done
plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
[ -z "$plugins" ] || [ -f "$plugins/vkt.lua" ] || fail "the dissector is not in Wireshark's Lua plugins ($plugins)"

# A C host against the installed development package, with find_package(VktJX) and pkg-config.
cmake -S "$here/tests/tool/installed_host" -B "$work/host" -DCMAKE_BUILD_TYPE=Release \
  > "$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package(VktJX) host does not configure"; }
cmake --build "$work/host" > "$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the host does not build"; }
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Werror -o "$work/host-pkgconfig" "$here/tests/tool/installed_host/host.c" \
  $(pkg-config --cflags --libs vktjx) || fail "the pkg-config host does not build"

. "$here/tests/tool/installed_hosts.sh"
run_installed_hosts "$work" "$(command -v vktsim)" "$(command -v vkthost)" \
  /usr/share/vktjx/examples/VktJX.Cfg "$work/host/host" "$work/host-pkgconfig"

installed=0
purge || { cat "$work/purge.log"; fail "the packages do not purge"; }
for p in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'installed'; then fail "$p is still installed"; fi
done
left=0
while read -r f; do
  [ -e "$f" ] || [ -L "$f" ] || continue
  # Directories shared with other packages (/usr/bin, Wireshark's plugin folder ...) stay.
  if [ -d "$f" ] && [ ! -L "$f" ] && dpkg -S "$f" > /dev/null 2>&1; then continue; fi
  [ "$f" = "/." ] && continue
  echo "left behind: $f" >&2
  left=1
done < "$work/files"
[ "$left" -eq 0 ] || fail "the purge left files behind"
echo "deb test: installed, used, purged; nothing left behind"
