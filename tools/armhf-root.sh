#!/usr/bin/env bash
# Builds, once, a Debian 13 armhf root file system in which the cross-built
# module and engine suite run under qemu user-mode emulation. The root is
# built beside its final place and renamed at the end, so an interrupted run
# leaves nothing that looks finished.
set -euo pipefail
root=${1:?usage: armhf-root.sh ROOT}
[ -x "$root/usr/bin/python3.13" ] && [ -f "$root/.ready" ] && exit 0

mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
packages=python3.13,python3.13-dev,python3.13-venv,libgtest-dev

tools/armhf-host.sh
rm -rf "$root.partial"
mkdir -p "$(dirname "$root")"
debootstrap --arch=armhf --variant=minbase --include="$packages" \
    --keyring=/usr/share/keyrings/debian-archive-keyring.gpg trixie "$root.partial" "$mirror"
touch "$root.partial/.ready"
rm -rf "$root"
mv "$root.partial" "$root"
