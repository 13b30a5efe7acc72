# Every target builds what it needs in a virtual environment of its own, with
# a CPython 3.12 or later found by tools/find-python.sh (set PYTHON=... to pick).
PY := $(shell PYTHON="$(PYTHON)" tools/find-python.sh)
PYVER := $(shell $(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV := .venv/$(PYVER)
ASAN_VENV := .venv/asan-$(PYVER)
PIP_FLAGS := --disable-pip-version-check -q
BUILD_FLAGS := --no-build-isolation --no-deps -Ccmake.define.TAVRINMOSS_WERROR=ON

.PHONY: demo test test-python test-slow test-slow-sample test-asan test-engine bench install clean fuzz

# Every environment, the sanitizer one too, installs the build tools and the
# test requirements of pyproject.toml (tools/test-requirements.py).
.venv/%/.ready: Makefile pyproject.toml
	$(PY) -m venv $(@D)
	$(PY) tools/test-requirements.py > $(@D)/test-requirements.txt
	$(@D)/bin/pip install $(PIP_FLAGS) "scikit-build-core>=0.10" cmake ninja -r $(@D)/test-requirements.txt
	touch $@

install: $(VENV)/.ready
	$(VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_FLAGS) -Cbuild-dir=build/$(PYVER) .

demo: install
	$(VENV)/bin/python examples/demo.py

# The diagram test renders with Debian's librsvg2-bin; where it cannot be
# installed (no root) that one test is skipped (CI installs it first).
RSVG_READY = command -v rsvg-convert || tools/apt-install.sh librsvg2-bin

# The engine client's tests run Debian's stockfish (CI installs it first).
STOCKFISH_READY = command -v stockfish || test -x /usr/games/stockfish || tools/apt-install.sh stockfish

test: test-python test-engine

# The Python suite alone: CI runs it once per interpreter, and the engine
# suite, which does not depend on the interpreter, once.
test-python: install
	@{ $(RSVG_READY); } >/dev/null 2>&1 || echo "librsvg2-bin is missing and could not be installed: SVG rendering test skipped"
	@{ $(STOCKFISH_READY); } >/dev/null 2>&1 || echo "stockfish is missing and could not be installed: its engine client tests skipped"
	$(VENV)/bin/python -m pytest -q

# GoogleTest, from Debian, for what Python cannot see: the fast generator
# against the reference on 100,000 positions. Installing it needs root; where
# that fails the target fails: the engine suite is the only differential
# between the fast path and the reference, so a run without it is no pass.
GTEST_READY = test -f /usr/include/gtest/gtest.h || tools/apt-install.sh libgtest-dev

test-engine: $(VENV)/.ready
	@if ! out=$$( { $(GTEST_READY); } 2>&1 ); then \
		echo "libgtest-dev is missing and could not be installed, so the engine suite cannot run:" >&2; \
		echo "$$out" | tail -n 3 >&2; exit 1; fi; \
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/engine -G Ninja -DTAVRINMOSS_PYTHON=OFF \
		-DTAVRINMOSS_ENGINE_TESTS=ON -DTAVRINMOSS_WERROR=ON >/dev/null && \
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/engine -j2 && \
	build/engine/engine_tests --gtest_brief=1

# Every slow test. CI runs test-slow-sample: a fixed sample of the deep
# counts and long games, the cases marked `full` left out.
test-slow: install
	$(VENV)/bin/python -m pytest -q -m slow

test-slow-sample: install
	$(VENV)/bin/python -m pytest -q -m "slow and not full"

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
	command -v stockfish >/dev/null || test -x /usr/games/stockfish || tools/apt-install.sh stockfish
	$(VENV)/bin/pip install $(PIP_FLAGS) chess==1.11.2 bulletchess==0.4.0 fastchess tensor-chess rust-pgn-reader-python-binding
	$(VENV)/bin/python bench/bench.py $(BENCH_ARGS)

# ---- 32-bit Arm Linux, hard-float ABI (armhf) -------------------------------
# The module and the engine suite are cross-built with Debian's
# arm-linux-gnueabihf toolchain (cmake/armhf.cmake) against the headers of a
# Debian 13 armhf root kept under build/ (made once by debootstrap), packed as
# the wheel users get, and that wheel is tested inside the root under qemu.
# Needs root (apt-get, binfmt_misc, chroot); without it the target fails.
ARMHF_ROOT := build/armhf-root
ARMHF_BUILD := build/armhf
ARMHF_TAG := cp313-cp313-linux_armv7l
VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml)
ARMHF_WHEEL := dist/tavrinmoss-$(VERSION)-$(ARMHF_TAG).whl

.PHONY: armhf-root wheel-armhf test-armhf

armhf-root: $(ARMHF_ROOT)/.ready
$(ARMHF_ROOT)/.ready:
	tools/armhf-root.sh $(ARMHF_ROOT)

wheel-armhf: $(VENV)/.ready $(ARMHF_ROOT)/.ready
	tools/armhf-host.sh
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(ARMHF_BUILD) -G Ninja --no-warn-unused-cli \
		-DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake -DTAVRINMOSS_ARMHF_ROOT=$(CURDIR)/$(ARMHF_ROOT) \
		-DTAVRINMOSS_ENGINE_TESTS=ON -DTAVRINMOSS_WERROR=ON >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(ARMHF_BUILD) -j2
	rm -rf $(ARMHF_BUILD)/stage
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --install $(ARMHF_BUILD) --prefix $(ARMHF_BUILD)/stage --strip >/dev/null
	$(VENV)/bin/python tools/make-wheel.py $(ARMHF_BUILD)/stage --tag $(ARMHF_TAG) --out dist

# The test requirements that hold on the target, all pure Python, are
# fetched here with the build machine's own package settings; the root itself
# needs no network. Each is asked for as a wheel for the target's platform
# first (newer releases of hypothesis are compiled for the build machine
# only, and this picks the newest pure-Python one), else built here from its
# sources (chess has no wheel).
$(ARMHF_BUILD)/deps/.ready: $(VENV)/.ready pyproject.toml
	rm -rf $(ARMHF_BUILD)/deps
	mkdir -p $(ARMHF_BUILD)/deps
	$(VENV)/bin/python tools/test-requirements.py --machine armv7l > $(ARMHF_BUILD)/deps/requirements.txt
	while read -r requirement; do \
		$(VENV)/bin/pip download $(PIP_FLAGS) --only-binary=:all: --python-version 3.13 --platform linux_armv7l \
			--implementation cp --abi cp313 -d $(ARMHF_BUILD)/deps "$$requirement" 2>/dev/null || \
		$(VENV)/bin/pip wheel $(PIP_FLAGS) -w $(ARMHF_BUILD)/deps "$$requirement" || exit 1; \
	done < $(ARMHF_BUILD)/deps/requirements.txt
	@if ls $(ARMHF_BUILD)/deps/*.whl | grep -v -- '-none-any\.whl$$'; then \
		echo "armhf: the test dependencies above are not pure Python"; exit 1; fi
	touch $@

# The slow tests are left out: under emulation they take about 12 minutes.
test-armhf: wheel-armhf $(ARMHF_BUILD)/deps/.ready
	tools/armhf-test.sh $(ARMHF_ROOT) $(ARMHF_WHEEL) $(ARMHF_BUILD)/engine_tests $(ARMHF_BUILD)/deps

# ---------------------------------------------------------------- fuzzing
# The engine's libFuzzer target under AddressSanitizer and UBSan, built with
# a Debian clang new enough for std::source_location (16 or later; clang-19
# and its libFuzzer runtime are installed when none is found). `make fuzz`
# runs it for FUZZ_SECONDS from the seeds in fuzz/corpus; what it learns
# stays in build/fuzz/corpus, and a finding is written to build/fuzz/ and
# fails the target. FUZZ_ARGS passes more libFuzzer options (-jobs=1, ...).
FUZZ_SECONDS ?= 60
FUZZ_ARGS ?=
FUZZ_CLANG = for v in 19 18 17 16; do command -v clang++-$$v && exit 0; done; exit 1
FUZZ_INSTALL = tools/apt-install.sh clang-19 libclang-rt-19-dev

build/fuzz/engine_fuzz: fuzz/engine_fuzz.cpp $(wildcard src/board/*.cpp src/board/*.h src/board/fast/*)
	@mkdir -p build/fuzz
	@cxx=$$( ($(FUZZ_CLANG)) || { { $(FUZZ_INSTALL); } >&2; ($(FUZZ_CLANG)); } ) || \
		{ echo "no clang++ 16 or later, and clang-19 could not be installed: cannot build the fuzz target" >&2; exit 1; }; \
	echo "building the fuzz target with $$cxx"; \
	$$cxx -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -DTAVRINMOSS_CHECK_CLASS \
		-Wall -Wextra -Werror -Isrc/board $(filter %.cpp,$^) -o $@

fuzz: build/fuzz/engine_fuzz
	@mkdir -p build/fuzz/corpus
	build/fuzz/engine_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=512 -timeout=60 -print_final_stats=1 \
		-artifact_prefix=build/fuzz/ $(FUZZ_ARGS) build/fuzz/corpus fuzz/corpus

clean:
	rm -rf build .venv dist
