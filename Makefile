# Quick start:  make demo   |   make test
# Every target installs what is missing first (scripts/bootstrap.sh), so a
# fresh machine needs nothing else.

VENV    := .venv
PY      := $(VENV)/bin/python
MESON   := $(VENV)/bin/meson
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)
export UV_PYTHON_DOWNLOADS := never
export CARGO_NET_OFFLINE := true

DEV_BUILD   := build/dev
WHEEL_BUILD := build/wheel
ASAN_BUILD  := build/asan
HOOKS_BUILD := build/hooks

.PHONY: all bootstrap build install hooks-module demo test test-cpp test-python test-asan bench clean

all: build

bootstrap:
	@bash scripts/bootstrap.sh

# C++ library, unit tests and benchmarks (release build with assertions off).
$(DEV_BUILD)/build.ninja: | bootstrap
	$(MESON) setup $(DEV_BUILD) -Dpython.install_env=venv >/dev/null

build: bootstrap $(DEV_BUILD)/build.ninja
	$(MESON) compile -C $(DEV_BUILD)

# The module, built as a wheel and installed into .venv like any package. The
# persistent build directory keeps rebuilds incremental.
install: bootstrap
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation \
	  -Cbuild-dir=$(WHEEL_BUILD) .

demo: install
	$(PY) examples/quickstart.py

test-cpp: build
	$(MESON) test -C $(DEV_BUILD) --suite unit --print-errorlogs

# The module built with test-only hooks (a tool that throws a C++ exception),
# for the tests of internal-fault handling. Never installed.
hooks-module: bootstrap
	test -f $(HOOKS_BUILD)/build.ninja || $(MESON) setup $(HOOKS_BUILD) -Dtest_hooks=true \
	  -Dtests=disabled -Dbenchmarks=disabled >/dev/null
	$(VENV)/bin/ninja -C $(HOOKS_BUILD) src/binding/dovek_native.abi3.so

test-python: install hooks-module
	DOVEK_TEST_HOOKS_MODULE_DIR=$(CURDIR)/$(HOOKS_BUILD)/src/binding $(PY) -m pytest -q

test: test-cpp test-python

# C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: bootstrap
	test -f $(ASAN_BUILD)/build.ninja || $(MESON) setup $(ASAN_BUILD) -Dbuildtype=debugoptimized \
	  -Db_sanitize=address,undefined -Db_lundef=false -Dbenchmarks=disabled -Dpython_module=false >/dev/null
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
	  $(MESON) test -C $(ASAN_BUILD) --suite unit --print-errorlogs

bench: build install
	$(MESON) compile -C $(DEV_BUILD) benchmarks
	for b in $(DEV_BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done
	$(PY) bench/bench_python.py

clean:
	rm -rf build
