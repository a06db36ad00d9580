#!/usr/bin/env bash
# Builds the Debian packages as a clean checkout would: copies the tracked
# files into WORK_DIR/src (dpkg-buildpackage writes the packages to the
# folder above the tree, so they land in WORK_DIR, outside the checkout),
# runs `dpkg-buildpackage -us -uc -b` there, then lintian, which must report
# no error and no warning on the three packages.
#   build_debian_packages.sh WORK_DIR
# CMAKE_CXX_COMPILER_LAUNCHER=ccache in the environment speeds up rebuilds.
set -euo pipefail
work=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
fail() { echo "debian: FAILED: $*" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work/src"
git -C "$source_dir" ls-files -z | (cd "$source_dir" && tar --null -T - -cf -) | tar -C "$work/src" -xf -
echo "debian: dpkg-buildpackage -us -uc -b in $work/src"
(cd "$work/src" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b) \
  >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log" >&2; fail "dpkg-buildpackage"; }

packages=()
for name in librestexecutor1 librestexecutor-dev fennic-agent; do
  deb=$(ls "$work"/${name}_*.deb 2>/dev/null | head -n 1)
  [[ -n "$deb" ]] || fail "no $name package"
  packages+=("$deb")
done
lintian --fail-on error,warning "${packages[@]}" >"$work/lintian.log" 2>&1 ||
  { cat "$work/lintian.log" >&2; fail "lintian"; }
echo "debian: lintian: $(grep -c '^E:' "$work/lintian.log" || true) errors, $(grep -c '^W:' "$work/lintian.log" || true) warnings"
ls "$work"/*.deb | sed 's|^|debian: built |'
echo "debian: done"
