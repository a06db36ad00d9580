#!/usr/bin/env bash
# The minimal Debian root that check_under_systemd.sh boots: made by
# debootstrap once and kept as a tarball in FENNIC_NSPAWN_CACHE (default
# /var/cache/fennic-ci). Prints the tarball's path. CI starts it early, in
# the background, so the download overlaps the builds.
#   prepare_container_root.sh
set -euo pipefail
cache=${FENNIC_NSPAWN_CACHE:-/var/cache/fennic-ci}
fail() { echo "systemd: FAILED: $*" >&2; exit 1; }

# The Debian mirror the machine's apt uses (the first deb.debian.org-like
# entry that is not the security archive).
mirror() {
  local uri
  uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk '/^deb / { print $2 } /^URIs:/ { print $2 }' | grep -v security | grep '/debian/\?$' | head -n 1)
  echo "${uri:-http://deb.debian.org/debian}"
}

# The run-time libraries come with the root, so installing the packages
# needs no network; procps is left out on purpose (reload must not need it).
rootfs_packages=systemd,systemd-sysv,ca-certificates,libcpprest2.10,libspdlog1.10,libcurl4,libssl3,libudev1
tarball="$cache/bookworm-minbase-$(echo "$rootfs_packages" | md5sum | cut -c1-8).tar"
if [[ ! -s "$tarball" ]]; then
  echo "systemd: debootstrap (cached in $tarball)" >&2
  mkdir -p "$cache"
  rm -rf "$cache/rootfs.tmp"
  debootstrap --variant=minbase --include="$rootfs_packages" bookworm "$cache/rootfs.tmp" "$(mirror)" \
    >"$cache/debootstrap.log" 2>&1 || { tail -n 30 "$cache/debootstrap.log" >&2; fail "debootstrap"; }
  tar -C "$cache/rootfs.tmp" -cf "$tarball.tmp" . && mv "$tarball.tmp" "$tarball"
  rm -rf "$cache/rootfs.tmp"
fi
echo "$tarball"
