# Set-up commands of the project: `make demo` and `make test` (see README.md).
PYTHON      ?= python3
VENV        := .venv
PY          := $(VENV)/bin/python
BUILD_DIR   ?= build/dev
TARGETS     ?= all
JOBS        ?= 2
RUN         := PYTHONPATH=$(CURDIR)/src MPLBACKEND=Agg $(PY)

.PHONY: demo test build lint typecheck native-test pytest bench sysdeps deps clean

demo: build
	$(RUN) examples/demo.py

test: build lint typecheck native-test pytest

# Debian packages the native tests and benchmarks link against, the C++ formatter, and a
# font with Chinese glyphs for charts titled by Chinese factor and job names.
sysdeps:
	@if [ ! -f /usr/include/gtest/gtest.h ] || [ ! -f /usr/include/benchmark/benchmark.h ] || ! command -v clang-format >/dev/null \
	    || [ ! -f /usr/share/fonts/truetype/wqy/wqy-microhei.ttc ]; then \
	  echo "installing libgtest-dev, libbenchmark-dev, clang-format and fonts-wqy-microhei"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev libbenchmark-dev clang-format fonts-wqy-microhei; \
	  rm -rf "$${HOME}/.cache/matplotlib"; \
	fi

$(VENV)/.deps: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "pybind11>=2.13" "scikit-build-core>=0.10" cmake ninja
	$(PY) -m pip install -q $$($(PY) tools/project_deps.py test)
	touch $@

deps: $(VENV)/.deps

build: sysdeps deps
	$(VENV)/bin/cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DLUMORA_INPLACE=ON -DLUMORA_BUILD_TESTS=ON -DLUMORA_BUILD_BENCH=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null
	$(VENV)/bin/cmake --build $(BUILD_DIR) -j $(JOBS) --target $(TARGETS)

# Formatting and lint: clang-format for C++, ruff for Python.
lint: deps sysdeps
	git ls-files 'cpp/*.cpp' 'cpp/*.hpp' | xargs clang-format --dry-run --Werror
	$(VENV)/bin/ruff check --no-cache src tests benchmarks examples tools
	$(VENV)/bin/ruff format --no-cache --check src tests benchmarks examples tools

# Static types: mypy --strict (settings in pyproject.toml) on the package and on a research
# script written as a user would, then the .pyi stubs against the built extension modules.
# The allowlist holds only what stubtest cannot judge in pybind11 classes.
typecheck: build
	$(PY) -m mypy --config-file pyproject.toml --cache-dir $(BUILD_DIR)/mypy src/lumora tests/typing/user_script.py
	$(RUN) -m mypy.stubtest --mypy-config-file pyproject.toml --allowlist tools/stubtest_allowlist.txt \
	  lumora.backtest._core lumora.backtest._weightbook lumora.backtest._service lumora.backtest._prepare

native-test: build
	$(VENV)/bin/ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

pytest: build
	$(RUN) -m pytest tests

bench: build
	$(BUILD_DIR)/lumora_native_bench
	$(RUN) benchmarks/run_all.py

clean:
	rm -rf build src/lumora/backtest/*.so
