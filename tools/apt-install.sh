#!/bin/sh
# Installs Debian packages, refreshing the package lists first only when the
# install fails without them (a fresh machine has none, or stale ones).
set -eu
[ $# -gt 0 ] || { echo "usage: tools/apt-install.sh PACKAGE..." >&2; exit 2; }
# CI makes the armhf root in the background, so two installs may meet: the
# second waits for the package database rather than failing.
apt() { apt-get -o DPkg::Lock::Timeout=600 "$@"; }
apt install -y "$@" || { apt update && apt install -y "$@"; }
