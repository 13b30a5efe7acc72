# Every target builds what it needs in a virtual environment of its own, with
# a CPython 3.12 or later found by tools/find-python.sh (set PYTHON=... to pick).
PY := $(shell PYTHON="$(PYTHON)" tools/find-python.sh)
PYVER := $(shell $(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV := .venv/$(PYVER)
ASAN_VENV := .venv/asan-$(PYVER)
PIP_FLAGS := --disable-pip-version-check -q
BUILD_FLAGS := --no-build-isolation --no-deps -Ccmake.define.TAVRINMOSS_WERROR=ON

.PHONY: demo test test-slow test-asan bench install clean

$(VENV)/.ready:
	$(PY) -m venv $(VENV)
	$(VENV)/bin/pip install $(PIP_FLAGS) "scikit-build-core>=0.10" cmake ninja pytest chess==1.11.2
	touch $@

install: $(VENV)/.ready
	$(VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_FLAGS) -Cbuild-dir=build/$(PYVER) .

demo: install
	$(VENV)/bin/python examples/demo.py

test: install
	$(VENV)/bin/python -m pytest -q

test-slow: install
	$(VENV)/bin/python -m pytest -q -m slow

$(ASAN_VENV)/.ready:
	$(PY) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install $(PIP_FLAGS) "scikit-build-core>=0.10" cmake ninja pytest chess==1.11.2
	touch $@

# The interpreter itself is not instrumented, so the sanitizer runtime is
# preloaded; its leak check would report the interpreter's own allocations.
test-asan: $(ASAN_VENV)/.ready
	$(ASAN_VENV)/bin/pip install $(PIP_FLAGS) $(BUILD_FLAGS) -Cbuild-dir=build/asan-$(PYVER) \
		-Ccmake.build-type=RelWithDebInfo -Ccmake.define.TAVRINMOSS_SANITIZE=ON .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider

bench: install
	$(VENV)/bin/pip install $(PIP_FLAGS) chess==1.11.2 bulletchess==0.4.0
	$(VENV)/bin/python bench/bench.py

clean:
	rm -rf build .venv
