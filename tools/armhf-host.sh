#!/usr/bin/env bash
# The host side of the armhf target: the cross compiler, debootstrap, and qemu
# registered with binfmt_misc so that the kernel runs Arm binaries inside a
# chroot. Where registration or chroot is impossible (no root, no binfmt_misc,
# a container without the capability), this fails with the reason: the armhf
# tests never pass by not running.
set -euo pipefail
need=()
command -v arm-linux-gnueabihf-g++ >/dev/null || need+=(g++-arm-linux-gnueabihf)
command -v debootstrap >/dev/null || need+=(debootstrap)
command -v qemu-arm-static >/dev/null || need+=(qemu-user-static)
command -v update-binfmts >/dev/null || need+=(binfmt-support)
if [ ${#need[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "armhf: ${need[*]} missing and installing needs root" >&2; exit 1
    fi
    "$(dirname "$0")/apt-install.sh" "${need[@]}"
fi

fail() { echo "armhf: $*; the armhf tests cannot run on this machine" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "chroot and binfmt registration need root"
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e $binfmt/register ]; then
    mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null || fail "binfmt_misc cannot be mounted"
fi
if [ -e $binfmt/qemu-arm ]; then
    grep -q '^enabled' $binfmt/qemu-arm || echo 1 > $binfmt/qemu-arm 2>/dev/null || true
else
    update-binfmts --enable qemu-arm >/dev/null 2>&1 || true
fi
# The F flag makes the kernel open the emulator at registration, so it runs
# inside a chroot that does not contain it.
grep -q '^enabled' $binfmt/qemu-arm 2>/dev/null || fail "qemu-arm could not be registered with binfmt_misc"
grep -q '^flags:.*F' $binfmt/qemu-arm || fail "qemu-arm is registered without the F flag"
