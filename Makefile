# make demo / make test work on a fresh machine: they create .venv with Python 3.13 when it is
# missing, install the package (not an editable copy) and what the target needs, then run.

VENV := .venv
PY := $(VENV)/bin/python
CXX ?= g++
KERNEL_TEST_FLAGS := -std=c++17 -O2 -Wall -Wextra -Wconversion -Werror -Isrc/hexpickle/text
PACKAGE_SOURCES := pyproject.toml CMakeLists.txt $(wildcard src/hexpickle/*.py src/hexpickle/text/*)

# A Python 3.13 that really runs: python3.13 on PATH when it answers (a pyenv shim only answers
# when 3.13 is selected), else the newest 3.13 that pyenv has installed.
find_python313 = $(firstword $(foreach p,python3.13 $(sort $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13)),$(shell "$(p)" -c 'import sys; print(sys.version_info[:2] == (3, 13))' 2>/dev/null | grep -qx True && echo "$(p)")))

.PHONY: demo test test-scalar test-kernels bench clean

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: test-kernels $(VENV)/.installed
	$(VENV)/bin/pytest

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

clean:
	rm -rf build dist $(VENV) $(VENV)-*
