# Set-up and everyday commands. Every target installs what it needs first;
# `install` is idempotent and only installs what is missing.
PYTHON ?= python3
# One build directory per interpreter version; the in-place modules carry
# their ABI tag, so the builds of several versions live side by side in src/.
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
BUILD_DIR ?= build/py$(PYVER)
# Optional dependency groups `deps` installs; `demo` needs none.
EXTRAS ?= test
CMAKE_ARGS ?=
TARGET ?=
CLANG_FORMAT ?= clang-format
# C++ sources lint-cpp leaves out (patterns, as $(filter-out) takes them);
# none: every source is kept as clang-format writes it.
CPP_LINT_EXCLUDE ?=

.PHONY: all install deps build develop test test-all bench demo check-headers lint lint-py lint-cpp clean

all: install

install: deps build develop

# System packages and Python packages at the versions of constraints.txt,
# each only when missing.
deps:
	@$(PYTHON) tools/ensure_deps.py --extras $(EXTRAS)

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
	$(PYTHON) tools/run_tests.py -q $(PYTEST_ARGS)

# `make test` with every CPython 3.8+ found (pyenv's, else python3.X on
# PATH), each in its own build/py3.X, then a table of the results.
# VERSIONS="3.8 3.13" picks some, SKIP="3.11" leaves some out, ENDS=1 keeps
# only the oldest and the newest.
test-all:
	@$(PYTHON) tools/test_all.py $(if $(VERSIONS),--versions $(VERSIONS)) \
	  $(if $(SKIP),--skip $(SKIP)) $(if $(ENDS),--ends) $(PYTEST_ARGS)

bench: install
	@$(PYTHON) tools/ensure_deps.py --extras bench
	$(PYTHON) benchmarks/run_all.py

demo: EXTRAS =
demo: install
	$(PYTHON) -m tarnwick_collector demo

# The C++ sources against the headers of every Python 3.8+ found here.
check-headers:
	$(PYTHON) tools/check_headers.py

# Formatting and static checks of the C++ and Python sources.
lint: lint-cpp lint-py

# The Python code: ruff (rules in pyproject.toml) on everything, mypy on
# src/, tools/ and benchmarks/; the pinned versions come with the lint extra.
lint-py:
	@$(PYTHON) tools/ensure_deps.py --extras lint
	$(PYTHON) -m ruff check .
	$(PYTHON) -m mypy

# The C++ sources against .clang-format, in check mode: fails on any line
# clang-format would change (`clang-format -i <file>` applies it).
lint-cpp:
	@command -v $(CLANG_FORMAT) >/dev/null || $(PYTHON) tools/ensure_deps.py --extras lint
	$(CLANG_FORMAT) --dry-run --Werror $(filter-out $(CPP_LINT_EXCLUDE),\
	  $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'src/*.h'))

clean:
	rm -rf build .tarnwick
	find src -name '*.so' -delete
