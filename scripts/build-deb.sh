#!/usr/bin/env bash
# Builds the Debian packages from a copy of the source tree (the project's own and untracked
# files, no build trees) into build/deb/, then checks them with lintian: any error fails.
# Usage: scripts/build-deb.sh [OUTDIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$here/build/deb}")
version=$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)

rm -rf "$out"
mkdir -p "$out/vktjx-$version"
(cd "$here" && git ls-files -z --cached --others --exclude-standard |
   xargs -0 -I{} find {} -maxdepth 0 -type f -print0 2>/dev/null |
   tar --null -T - -cf -) | tar -xf - -C "$out/vktjx-$version"

(cd "$out/vktjx-$version" &&
 DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b \
   > "$out/build.log" 2>&1) || { tail -60 "$out/build.log"; echo "deb: the package build failed" >&2; exit 1; }
rm -rf "$out/vktjx-$version"

ls "$out"/*.deb
# Errors fail the build; warnings are shown (the README's packaging section explains those left).
lintian --fail-on error --info --display-level ">=warning" "$out"/*.changes
echo "deb: packages in $out, lintian without errors"
