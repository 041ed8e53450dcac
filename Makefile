# Quick start:  make demo   |   make test
# `make demo` needs only a compiler and Python (scripts/demo.sh); every other
# target installs what is missing first (scripts/bootstrap.sh), so a fresh
# machine needs nothing else.

VENV    := .venv
PY      := $(VENV)/bin/python
MESON   := $(VENV)/bin/meson
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
export UV_PYTHON_DOWNLOADS := never
export CARGO_NET_OFFLINE := true

# One build directory serves the wheel (pip drives meson-python there) and the
# C++ unit tests and benchmarks, so the core is compiled once.
BUILD      := build/py
ASAN_BUILD := build/asan

.PHONY: all bootstrap install build demo test test-cpp test-python check-format format test-asan test-tsan fuzz bench bench-instructions wheel check-wheel clean

all: install

bootstrap:
	@bash scripts/bootstrap.sh

# The module, built as an abi3 wheel and installed into .venv like any package
# (ninja's progress shown, pip's whole log in build/py.install.log).
install: bootstrap
	@bash scripts/install-module.sh $(BUILD)

# The C++ unit tests, and the module built against the test-only hooks
# (never installed), in the same build directory.
build: install
	$(MESON) compile -C $(BUILD) unit-tests src/binding/hooks/dovek_native.abi3.so

# A plain release build in .venv-demo and the tour (scripts/demo.sh): needs
# only a compiler and Python, none of the development tools.
demo:
	@bash scripts/demo.sh

test-cpp: build
	$(MESON) test -C $(BUILD) --no-rebuild --suite unit --print-errorlogs

# Without ARGS: the whole pytest suite against the module installed in .venv
# (part of `make test`; the packaging tests check the installed copies).
# With ARGS (pytest's arguments, e.g. ARGS="tests/python/test_runtime.py -k
# timeout" or ARGS='-m "not slow"'): no wheel; meson rebuilds build/py's module
# and its hooks variant, and pytest imports them from the build tree, where
# DOVEK_EXPECT_MODULE_DIR turns a stray installed copy into an error.
MODULE_DIR := $(CURDIR)/$(BUILD)/src/binding
ifeq ($(strip $(ARGS)),)
test-python: build
	DOVEK_TEST_HOOKS_MODULE_DIR=$(MODULE_DIR)/hooks $(PY) -m pytest -q
else
test-python: bootstrap
	@[ -f $(BUILD)/build.ninja ] || bash scripts/install-module.sh $(BUILD)
	$(MESON) compile -C $(BUILD) src/binding/dovek_native.abi3.so \
	  src/binding/hooks/dovek_native.abi3.so
	PYTHONPATH=$(MODULE_DIR) DOVEK_EXPECT_MODULE_DIR=$(MODULE_DIR) \
	  DOVEK_TEST_HOOKS_MODULE_DIR=$(MODULE_DIR)/hooks $(PY) -m pytest -q $(ARGS)
endif

# The format check runs first: it fails in seconds, and pytest's summary
# stays the last line. DOVEK_SKIP_FORMAT_CHECK=1 skips it (e.g. to time a run
# on a tree that is not formatted yet).
test: check-format test-cpp test-python

# The C++ sources against .clang-format (pinned clang-format in .venv);
# `make format` rewrites them.
check-format: bootstrap
ifeq ($(DOVEK_SKIP_FORMAT_CHECK),1)
	@echo "check-format: skipped (DOVEK_SKIP_FORMAT_CHECK=1)"
else
	bash scripts/check-format.sh
endif

format: bootstrap
	bash scripts/check-format.sh --fix

# The C++ unit tests and the whole pytest suite against a module built with
# clang, AddressSanitizer and UndefinedBehaviorSanitizer (build/asan, which
# also holds the fuzz targets).
test-asan: bootstrap
	bash scripts/test-asan.sh

# The C++ threading tests under ThreadSanitizer (build/tsan).
test-tsan: bootstrap
	bash scripts/test-tsan.sh

# Each libFuzzer target for SECONDS seconds (default 60), built in build/asan.
fuzz: bootstrap
	bash scripts/fuzz.sh $(SECONDS)

# The benchmarks (bench/README.md): the C++ ones (executables only: meson's
# bench_*.p object folders match the glob too), then the installed module
# from Python beside the floor extension built with them.
bench: install
	$(MESON) compile -C $(BUILD) benchmarks
	for b in $(BUILD)/bench/*/bench_*; do \
	  if [ -f "$$b" ] && [ -x "$$b" ]; then "$$b" || exit 1; fi; done
	$(PY) bench/bench_python.py --floor-dir $(BUILD)/bench/python
	$(PY) bench/bench_runtime.py
	PATH="$$PATH:$$HOME/.cargo/bin" $(PY) bench/bench_tools.py

# Instructions per command under callgrind (needs valgrind): repeatable
# whatever the load, unlike the times of `make bench`.
bench-instructions: install
	$(MESON) compile -C $(BUILD) bench/python/dovek_bench_floor.abi3.so
	$(PY) bench/count_instructions.py --floor-dir $(BUILD)/bench/python

# The release wheel in dist/, for any CPython >= 3.11 on Linux x86_64: built
# by CPython 3.11 (.venv-build), the floor of the stable ABI it targets, so
# its headers are 3.11's and meson-python tags it cp311-abi3; auditwheel
# gives it its manylinux tag.
# WHEEL_BUILD=build/py reuses the build directory of `make install`.
WHEEL_BUILD ?= build/wheel
WHEEL_RAW   := build/wheel-raw
# Profile-guided like `make install` (DOVEK_PGO=0 builds without).
PGO_SETUP := -Db_pgo=$(if $(filter 0,$(DOVEK_PGO)),off,use)
wheel: bootstrap
	rm -rf $(WHEEL_RAW) dist/dovek_native-*.whl
	bash scripts/pgo-profile.sh $(WHEEL_BUILD)
	.venv-build/bin/python -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
	  --config-settings=build-dir=$(WHEEL_BUILD) --config-settings=compile-args=-j2 \
	  --config-settings=setup-args=$(PGO_SETUP) -w $(WHEEL_RAW) .
	$(VENV)/bin/auditwheel repair -w dist $(WHEEL_RAW)/dovek_native-*.whl
	rm -rf $(WHEEL_RAW)
	$(VENV)/bin/auditwheel show dist/dovek_native-*.whl

# The wheel installed into a clean venv of every CPython >= 3.11 on the
# machine, each running tests/smoke/smoke.py.
check-wheel: wheel
	bash scripts/check-wheel.sh

clean:
	rm -rf build
