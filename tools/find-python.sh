#!/bin/sh
# Prints the path of a CPython 3.12 or later: the one named by $PYTHON if set,
# else the newest found among pyenv's versions and the interpreters on PATH.
# The default python3 of this machine is older, so it is never assumed.
set -eu
ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null; }
if [ -n "${PYTHON:-}" ]; then
    if ok "$PYTHON"; then command -v "$PYTHON"; exit 0; fi
    echo "PYTHON=$PYTHON is not a CPython 3.12 or later" >&2; exit 1
fi
candidates=""
root=${PYENV_ROOT:-$HOME/.pyenv}
if command -v pyenv >/dev/null 2>&1; then root=$(pyenv root); fi
if [ -d "$root/versions" ]; then
    for v in $(ls -1 "$root/versions" 2>/dev/null | sort -t. -k1,1nr -k2,2nr -k3,3nr); do
        candidates="$candidates $root/versions/$v/bin/python3"
    done
fi
for name in python3.14 python3.13 python3.12 python3; do
    for dir in /usr/local/bin /usr/bin; do
        candidates="$candidates $dir/$name"
    done
done
for p in $candidates; do
    if [ -x "$p" ] && ok "$p"; then echo "$p"; exit 0; fi
done
echo "no CPython 3.12 or later found (install python3.12-dev or python3.13-dev, or a pyenv 3.12+)" >&2
exit 1
