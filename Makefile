# Every target builds what it needs in a virtual environment of its own, with
# a CPython 3.12 or later found by tools/find-python.sh (set PYTHON=... to pick).
PY := $(shell PYTHON="$(PYTHON)" tools/find-python.sh)
PYVER := $(shell $(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV := .venv/$(PYVER)
ASAN_VENV := .venv/asan-$(PYVER)
PIP_FLAGS := --disable-pip-version-check -q
BUILD_FLAGS := --no-build-isolation --no-deps -Ccmake.define.TAVRINMOSS_WERROR=ON

.PHONY: demo test test-slow test-asan test-engine bench install clean

$(VENV)/.ready:
	$(PY) -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_FLAGS) "scikit-build-core>=0.10" cmake ninja pytest chess==1.11.2
	touch $@

install: $(VENV)/.ready
	$(VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_FLAGS) -Cbuild-dir=build/$(PYVER) .

demo: install
	$(VENV)/bin/python examples/demo.py

# The diagram test renders with Debian's librsvg2-bin; where it cannot be
# installed (no root) that one test is skipped (CI installs it first).
RSVG_READY = command -v rsvg-convert || apt-get install -y librsvg2-bin \
	|| (apt-get update && apt-get install -y librsvg2-bin)

test: install test-engine
	@{ $(RSVG_READY); } >/dev/null 2>&1 || echo "librsvg2-bin is missing and could not be installed: SVG rendering test skipped"
	$(VENV)/bin/python -m pytest -q

# GoogleTest, from Debian, for what Python cannot see: the fast generator
# against the reference on 100,000 positions. Installing it needs root; where
# that fails the engine suite is skipped with a note (CI installs it first).
GTEST_READY = test -f /usr/include/gtest/gtest.h || apt-get install -y libgtest-dev \
	|| (apt-get update && apt-get install -y libgtest-dev)

test-engine: $(VENV)/.ready
	@if ! { $(GTEST_READY); } >/dev/null 2>&1; then \
		echo "libgtest-dev is missing and could not be installed: engine tests skipped"; exit 0; fi; \
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/engine -G Ninja -DTAVRINMOSS_PYTHON=OFF \
		-DTAVRINMOSS_ENGINE_TESTS=ON -DTAVRINMOSS_WERROR=ON >/dev/null && \
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/engine -j2 && \
	build/engine/engine_tests --gtest_brief=1

test-slow: install
	$(VENV)/bin/python -m pytest -q -m slow

$(ASAN_VENV)/.ready:
	$(PY) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install $(PIP_FLAGS) "scikit-build-core>=0.10" cmake ninja pytest chess==1.11.2
	touch $@

# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded; its leak check would report the interpreter's own allocations.
test-asan: $(VENV)/.ready $(ASAN_VENV)/.ready
	$(GTEST_READY)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/engine-asan -G Ninja -DTAVRINMOSS_PYTHON=OFF \
		-DTAVRINMOSS_ENGINE_TESTS=ON -DTAVRINMOSS_WERROR=ON -DTAVRINMOSS_SANITIZE=ON \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/engine-asan -j2
	TAVRINMOSS_DIFF_POSITIONS=20000 build/engine-asan/engine_tests --gtest_brief=1
	$(ASAN_VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_FLAGS) -Cbuild-dir=build/asan-$(PYVER) \
		-Ccmake.build-type=RelWithDebInfo -Ccmake.define.TAVRINMOSS_SANITIZE=ON .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

# bulletchess needs CPython 3.13; Stockfish comes from Debian.
bench:
	@test "$(PYVER)" = "3.13" || { echo "make bench needs CPython 3.13: make bench PYTHON=/path/to/python3.13"; exit 1; }
	$(MAKE) install PYTHON=$(PY)
	command -v stockfish >/dev/null || test -x /usr/games/stockfish || \
		apt-get install -y stockfish || (apt-get update && apt-get install -y stockfish)
	$(VENV)/bin/pip install $(PIP_FLAGS) chess==1.11.2 bulletchess==0.4.0
	$(VENV)/bin/python bench/bench.py $(BENCH_ARGS)

clean:
	rm -rf build .venv
