#!/bin/sh
# Installs Debian packages, refreshing the package lists first only when the
# install fails without them (a fresh machine has none, or stale ones).
set -eu
[ $# -gt 0 ] || { echo "usage: tools/apt-install.sh PACKAGE..." >&2; exit 2; }
apt-get install -y "$@" || { apt-get update && apt-get install -y "$@"; }
