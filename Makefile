# make demo / make test work on a fresh machine: they create .venv with Python 3.13 when it is
# missing, install the package (not an editable copy) and what the target needs, then run.

VENV := .venv
PY := $(VENV)/bin/python
PACKAGE_SOURCES := pyproject.toml CMakeLists.txt $(wildcard src/hexpickle/*.py src/hexpickle/text/*)

# A Python 3.13 that really runs: python3.13 on PATH when it answers (a pyenv shim only answers
# when 3.13 is selected), else the newest 3.13 that pyenv has installed.
find_python313 = $(firstword $(foreach p,python3.13 $(sort $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13)),$(shell "$(p)" -c 'import sys; print(sys.version_info[:2] == (3, 13))' 2>/dev/null | grep -qx True && echo "$(p)")))

.PHONY: demo test clean

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: $(VENV)/.installed
	$(VENV)/bin/pytest

$(PY):
	@python="$(find_python313)"; \
	if [ -z "$$python" ]; then \
		echo "error: no working Python 3.13 found: 'python3.13' does not answer and pyenv has no 3.13 (try 'pyenv install 3.13')" >&2; \
		exit 1; \
	fi; \
	echo "creating $(VENV) with $$python"; \
	"$$python" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

$(VENV)/.installed: $(PY) $(PACKAGE_SOURCES)
	$(PY) -m pip install -q ".[test]"
	touch $@

clean:
	rm -rf build dist $(VENV) $(VENV)-*
