# Quick start:  make demo   |   make test
# Every target installs what is missing first (scripts/bootstrap.sh), so a
# fresh machine needs nothing else.

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

.PHONY: all bootstrap install build demo test test-cpp test-python test-asan bench clean

all: install

bootstrap:
	@bash scripts/bootstrap.sh

# The module, built as an abi3 wheel and installed into .venv like any package.
install: bootstrap
	$(PY) -m pip install -q --disable-pip-version-check --no-build-isolation \
	  -Cbuild-dir=$(BUILD) .

# The C++ unit tests, and the module built against the test-only hooks
# (never installed), in the same build directory.
build: install
	$(MESON) compile -C $(BUILD) unit-tests src/binding/hooks/dovek_native.abi3.so

demo: install
	$(PY) examples/quickstart.py

test-cpp: build
	$(MESON) test -C $(BUILD) --no-rebuild --suite unit --print-errorlogs

test-python: build
	DOVEK_TEST_HOOKS_MODULE_DIR=$(CURDIR)/$(BUILD)/src/binding/hooks $(PY) -m pytest -q

test: test-cpp test-python

# C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: bootstrap
	test -f $(ASAN_BUILD)/build.ninja || $(MESON) setup $(ASAN_BUILD) -Dbuildtype=debugoptimized \
	  -Db_sanitize=address,undefined -Db_lundef=false -Dbenchmarks=disabled -Dpython_module=false >/dev/null
	$(MESON) compile -C $(ASAN_BUILD) unit-tests
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
	  $(MESON) test -C $(ASAN_BUILD) --no-rebuild --suite unit --print-errorlogs

bench: install
	$(MESON) compile -C $(BUILD) benchmarks
	for b in $(BUILD)/bench/*/bench_*; do [ -x "$$b" ] && "$$b"; done
	$(PY) bench/bench_python.py
	$(PY) bench/bench_runtime.py

clean:
	rm -rf build
