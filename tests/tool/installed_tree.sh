#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and builds a C host against that tree alone, with
# find_package(VktJX) and with pkg-config; runs both, and the installed vkthost, against the
# installed simulator.
set -euo pipefail
build=$1
hostsrc=$2

work=$(mktemp -d "${TMPDIR:-/tmp}/vktjx-install.XXXXXX")
simpid=""
cleanup() {
  if [ -n "$simpid" ]; then kill "$simpid" 2>/dev/null || true; wait "$simpid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "installed tree: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; fail "install failed"; }

driver=$(find "$prefix" -name libvktjx.so -print -quit)
[ -n "$driver" ] || fail "no libvktjx.so installed"
libdir=$(dirname "$driver")
for f in "$libdir/libet32b.so" "$prefix/include/vktjx.h" "$prefix/include/et32b.h" \
         "$prefix/bin/vkthost" "$prefix/bin/vktsim" "$prefix/share/vktjx/examples/VktJX.Cfg" \
         "$libdir/cmake/VktJX/VktJXConfig.cmake" "$libdir/pkgconfig/vktjx.pc" \
         "$libdir/pkgconfig/et32b.pc"; do
  [ -e "$f" ] || fail "missing $f"
done

# The host sees only the installed tree: no source or build directory on its paths.
cmake -S "$hostsrc" -B "$work/with-cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  > "$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package(VktJX) host does not configure"; }
cmake --build "$work/with-cmake" > "$work/build.log" 2>&1 || { cat "$work/build.log"; fail "find_package(VktJX) host does not build"; }

flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs vktjx) || fail "pkg-config knows no vktjx"
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror -o "$work/host-pkgconfig" "$hostsrc/host.c" $flags \
  -Wl,-rpath,"$libdir" || fail "pkg-config host does not build"

. "$(dirname "$0")/installed_hosts.sh"
run_installed_hosts "$work" "$prefix/bin/vktsim" "$prefix/bin/vkthost" \
  "$prefix/share/vktjx/examples/VktJX.Cfg" "$work/with-cmake/host" "$work/host-pkgconfig"
echo "installed tree: both hosts and vkthost work"
