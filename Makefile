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

.PHONY: all bootstrap install build demo test test-cpp test-python check-format format test-asan test-tsan fuzz bench clean

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

bench: install
	$(MESON) compile -C $(BUILD) benchmarks
	for b in $(BUILD)/bench/*/bench_*; do [ -x "$$b" ] && "$$b"; done
	$(PY) bench/bench_python.py
	$(PY) bench/bench_runtime.py

clean:
	rm -rf build
