#!/usr/bin/env bash
# Runs the armhf wheel and engine suite inside the armhf root, under qemu:
# installs the wheel into the root's own virtual environment (made once, with
# the test dependencies from DEPS, pure-Python wheels fetched by the build
# machine, so the root needs no network) and runs the engine suite and the
# pytest suite there. Extra arguments go to pytest.
set -euo pipefail
root=${1:?usage: armhf-test.sh ROOT WHEEL ENGINE_TESTS DEPS [PYTEST ARGS...]}
wheel=${2:?}
engine=${3:?}
deps=${4:?}
shift 4

tools/armhf-host.sh
in_root() { chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 PATH=/usr/bin:/bin "$@"; }
in_root /bin/true || { echo "armhf: chroot into $root failed; the armhf tests cannot run on this machine" >&2; exit 1; }
arch=$(in_root /usr/bin/uname -m)
[ "$arch" = armv7l ] || { echo "armhf: the root reports machine '$arch', not armv7l" >&2; exit 1; }

venv=/opt/tavrinmoss-venv
# The venv is made again when the test requirements change. DEPS holds them
# (requirements.txt, from pyproject.toml) beside their wheels.
requirements=$(cat "$deps/requirements.txt")
if [ "$(cat "$root$venv/.ready" 2>/dev/null)" != "$requirements" ]; then
    rm -rf "${root:?}$venv"
    in_root /usr/bin/python3.13 -m venv $venv
    mkdir -p "$root/tmp/deps"
    cp "$deps"/*.whl "$deps/requirements.txt" "$root/tmp/deps/"
    in_root $venv/bin/pip install --disable-pip-version-check -q --no-index --find-links /tmp/deps \
        -r /tmp/deps/requirements.txt
    rm -rf "$root/tmp/deps"
    echo "$requirements" > "$root$venv/.ready"
fi

# The tests and the wheel are copied in afresh: the root never sees the work
# tree, so the tests import the installed wheel and nothing else.
work=/tmp/tavrinmoss
rm -rf "${root:?}$work"
mkdir -p "$root$work/src"
cp -r tests examples pyproject.toml "$root$work/"
# The tests compare the installed stub with the one in the source tree.
cp src/tavrinmoss.pyi "$root$work/src/"
cp "$wheel" "$engine" "$root$work/"
in_root $venv/bin/pip install --disable-pip-version-check -q --no-deps --force-reinstall "$work/$(basename "$wheel")"

echo "=== armhf: $(in_root $venv/bin/python -c 'import platform, sys, tavrinmoss
print(platform.machine(), "CPython", sys.version.split()[0], tavrinmoss.__file__.rsplit("/", 1)[1])')"
echo "=== armhf engine suite"
in_root "$work/$(basename "$engine")" --gtest_brief=1
echo "=== armhf pytest"
in_root /bin/sh -c "cd $work && exec $venv/bin/python -m pytest -q -p no:cacheprovider $*"
