# Set-up and everyday commands. Every target installs what it needs first;
# `install` is idempotent and only installs what is missing.
PYTHON ?= python3
BUILD_DIR ?= build/dev
CMAKE_ARGS ?=
TARGET ?=

.PHONY: all install deps build develop test bench demo check-headers lint-py clean

all: install

install: deps build develop

# System packages and pinned Python packages, each only when missing.
deps:
	@$(PYTHON) tools/ensure_deps.py --extras test

# In-place build of the extension modules (they land beside their packages
# in src/). A lock keeps concurrent builds of one checkout from colliding.
build:
	@mkdir -p $(BUILD_DIR)
	@flock $(BUILD_DIR)/.lock sh -c '\
	  cmake -S . -B $(BUILD_DIR) -G Ninja -DTARNWICK_INPLACE=ON \
	    -DPython_EXECUTABLE=$$(command -v $(PYTHON)) $(CMAKE_ARGS) >$(BUILD_DIR)/configure.log \
	    || { cat $(BUILD_DIR)/configure.log; exit 1; }; \
	  cmake --build $(BUILD_DIR) $(if $(TARGET),--target $(TARGET))'

# Editable install: put this checkout's src/ on the interpreter's path.
develop:
	@$(PYTHON) tools/develop.py

test: install
	$(PYTHON) -m pytest -q $(PYTEST_ARGS)

bench: install
	@$(PYTHON) tools/ensure_deps.py --extras bench
	$(PYTHON) benchmarks/run_all.py

demo: install
	$(PYTHON) -m tarnwick_collector demo

# The C++ sources against the headers of every Python 3.8+ found here.
check-headers:
	$(PYTHON) tools/check_headers.py

# The Python code: ruff (rules in pyproject.toml) on everything, mypy on
# src/, tools/ and benchmarks/; the pinned versions come with the lint extra.
lint-py:
	@$(PYTHON) tools/ensure_deps.py --extras lint
	$(PYTHON) -m ruff check .
	$(PYTHON) -m mypy

clean:
	rm -rf build .tarnwick
	find src -name '*.so' -delete
