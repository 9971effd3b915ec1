# make demo / make test work on a fresh machine: they create .venv with Python 3.13 when it is
# missing, install the package (not an editable copy) and what the target needs, then run.

VENV := .venv
PY := $(VENV)/bin/python
CXX ?= g++
KERNEL_TEST_FLAGS := -std=c++17 -O2 -Wall -Wextra -Wconversion -Werror -Isrc/hexpickle/text
PACKAGE_SOURCES := pyproject.toml CMakeLists.txt $(wildcard src/hexpickle/*.py src/hexpickle/text/*)

# A Python 3.13 that really runs: python3.13 on PATH when it answers (a pyenv shim only answers
# when 3.13 is selected), else a 3.13 that pyenv has installed (pyenv itself need not be on PATH).
PYENV_ROOT ?= $(or $(shell pyenv root 2>/dev/null),$(HOME)/.pyenv)
find_python313 = $(firstword $(foreach p,python3.13 $(sort $(wildcard $(PYENV_ROOT)/versions/3.13*/bin/python3.13)),$(shell "$(p)" -c 'import sys; print(sys.version_info[:2] == (3, 13))' 2>/dev/null | grep -qx True && echo "$(p)")))

.PHONY: demo test test-scalar test-kernels sanitize fuzz lint dist test-wheel bench clean

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: test-kernels $(VENV)/.installed
	$(VENV)/bin/pytest

# The suite and the kernel test with AddressSanitizer and UndefinedBehaviorSanitizer. Python is not
# built with them, so their runtime (and libstdc++, whose throw ASan intercepts) is preloaded;
# PYTHONMALLOC=malloc puts every Python object in its own checked allocation. Leak reports go to
# logs, where only those that point into the module fail the run; Python has no frame pointers,
# so allocation stacks take the slow unwinder, kept to the 16 frames that reach the module.
SANITIZE_LOGS := build/sanitize-logs
SANITIZE_ENV := LD_PRELOAD="$(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc LSAN_OPTIONS=exitcode=0 UBSAN_OPTIONS=print_stacktrace=1 \
	ASAN_OPTIONS=detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=16:log_path=$(CURDIR)/$(SANITIZE_LOGS)/asan

sanitize: build/kernels_test_asan $(VENV)-asan/.installed
	build/kernels_test_asan
	rm -rf $(SANITIZE_LOGS) && mkdir -p $(SANITIZE_LOGS)
	$(SANITIZE_ENV) $(VENV)-asan/bin/pytest -p no:cacheprovider; status=$$?; \
	$(VENV)-asan/bin/python tools/sanitizer_report.py $(SANITIZE_LOGS)/* && exit $$status

# Differential fuzzing of the installed module against the standard library.
FUZZ_SECONDS ?= 60
fuzz: $(VENV)/.installed
	$(PY) -m pip install -q ".[fuzz]"
	@mkdir -p build/fuzz/corpus
	$(PY) fuzz/fuzz_hex.py -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
		-artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/seeds

# ruff and clang-format in check mode, and the type stub against the installed module.
lint: $(VENV)/.installed
	$(PY) -m pip install -q ".[lint]"
	$(VENV)/bin/ruff check .
	$(VENV)/bin/ruff format --check .
	$(VENV)/bin/clang-format --dry-run --Werror src/hexpickle/text/*.cpp src/hexpickle/text/*.h tests/*.cpp
	$(PY) -m mypy.stubtest hexpickle.text.hex
	$(VENV)/bin/mypy examples/demo.py

dist: $(PY)
	$(PY) -m pip install -q build
	rm -rf dist
	$(PY) -m build --outdir dist .

# The suite against the wheel, installed into a fresh venv outside the source tree.
test-wheel: dist
	@python="$(find_python313)"; work=$$(mktemp -d); \
	trap 'rm -rf "$$work"' EXIT; \
	"$$python" -m venv "$$work/venv" && \
	"$$work/venv/bin/python" -m pip install -q "$$(echo dist/*.whl)[test]" && \
	cd "$$work" && "$$work/venv/bin/pytest" -c "$(CURDIR)/pyproject.toml" --rootdir "$(CURDIR)" "$(CURDIR)/tests"

# Throughput and peak-memory figures, and docs/benchmark.png.
bench: $(VENV)/.installed
	$(PY) -m pip install -q ".[bench]"
	$(PY) benchmarks/bench.py

# The whole suite against a build that has only the portable kernels.
test-scalar: $(VENV)-scalar/.installed
	$(VENV)-scalar/bin/pytest

# Every kernel version this CPU runs, against a reference, outside Python.
test-kernels: build/kernels_test
	build/kernels_test

build/kernels_test: tests/kernels_test.cpp src/hexpickle/text/hex_kernels.h
	@mkdir -p build
	$(CXX) $(KERNEL_TEST_FLAGS) -o $@ $<

build/kernels_test_asan: tests/kernels_test.cpp src/hexpickle/text/hex_kernels.h
	@mkdir -p build
	$(CXX) $(KERNEL_TEST_FLAGS) -g -fsanitize=address,undefined -fno-sanitize-recover=all \
		-fno-omit-frame-pointer -o $@ $<

# Any virtual environment: .venv, .venv-scalar, ...
%/bin/python:
	@python="$(find_python313)"; \
	if [ -z "$$python" ]; then \
		echo "error: no working Python 3.13 found: 'python3.13' does not answer and pyenv has no 3.13 (try 'pyenv install 3.13')" >&2; \
		exit 1; \
	fi; \
	echo "creating $* with $$python"; \
	"$$python" -m venv $*
	$*/bin/python -m pip install -q --upgrade pip

$(VENV)/.installed: $(PY) $(PACKAGE_SOURCES)
	$(PY) -m pip install -q ".[test]"
	touch $@

$(VENV)-scalar/.installed: $(VENV)-scalar/bin/python $(PACKAGE_SOURCES)
	$(VENV)-scalar/bin/python -m pip install -q ".[test]" \
		-Cbuild-dir=build/scalar -Ccmake.define.HEXPICKLE_SCALAR_KERNELS=ON
	touch $@

$(VENV)-asan/.installed: $(VENV)-asan/bin/python $(PACKAGE_SOURCES)
	$(VENV)-asan/bin/python -m pip install -q ".[test]" -Cbuild-dir=build/asan \
		-Ccmake.build-type=RelWithDebInfo -Ccmake.define.HEXPICKLE_SANITIZE=ON
	touch $@

clean:
	rm -rf build dist $(VENV) $(VENV)-*
