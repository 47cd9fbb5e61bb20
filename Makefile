# Set-up, build and tests on a Debian 12 machine. `make test` does everything from a fresh clone.
PYTHON ?= /usr/bin/python3
BUILD  ?= build
JOBS   ?= $(shell nproc)
SUDO   := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

APT_PACKAGES := build-essential cmake pkg-config ccache \
  python3-torch libtorch-dev pybind11-dev python3-pybind11 \
  libzstd-dev liblzma-dev libgtest-dev \
  python3-numpy python3-pytest python3-tqdm python3-zstandard \
  python3-zarr python3-numcodecs python3-rasterio python3-xarray \
  python3-netcdf4 python3-cftime libncarg-data python3-matplotlib python3-zfpy \
  libfpzip-dev clang libclang-rt-14-dev \
  libopenblas0-openmp \
  python3-venv python3-pip python3-setuptools python3-wheel \
  python3-dask python3-distributed python3-psutil

.PHONY: setup deps build install test pytest ctest demo bench clean sanitize fuzz

# Separate build trees for the instrumented builds, so neither disturbs `build`.
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD     ?= build-fuzz
FUZZ_TIME      ?= 60
FUZZ_JOBS      ?= 1

# The package is installed into a virtual environment that sees Debian's packages (torch, numpy,
# zarr ... come from apt), so pip fetches nothing: $(VENV)/bin/pyqelm is the command line.
VENV        ?= .venv
VENV_PYTHON := $(VENV)/bin/python

setup: deps install

# Installs only what is missing, so a second run touches nothing.
deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(VENV_PYTHON):
	$(PYTHON) -m venv --system-site-packages $(VENV)

# The wheel's build reuses the CMake tree `build` just brought up to date (see setup.py), so
# nothing is compiled twice; pip reinstalls the checkout's current state every time.
install: build $(VENV_PYTHON)
	PYQELM_BUILD_DIR=$(abspath $(BUILD)) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) \
	  $(VENV_PYTHON) -m pip install --no-build-isolation --no-deps --no-index --disable-pip-version-check -q .

# Against the installed package: PYTHONSAFEPATH keeps the checkout (the working folder) off the
# path of this and every child interpreter, and the tests refuse to run if it got there anyway.
PYTEST := PYTHONSAFEPATH=1 PYQELM_TEST_INSTALLED=1 $(VENV_PYTHON) -m pytest -q tests/py

pytest: install
	$(PYTEST)

ctest:
	ctest --test-dir $(BUILD) --output-on-failure

test: setup
	$(MAKE) --no-print-directory ctest
	$(PYTEST)

# The main job on real data: monthly near-surface air temperature of 2005 from a climate model
# (Debian's libncarg-data), encoded with residuals, decoded, checked against the bound and
# compared with ZFP, fpzip and Zstandard. Everything lands in out/.
DEMO_NC    ?= /usr/share/ncarg/data/nug/tas_rectilinear_grid_2D.nc
DEMO_VAR   ?= tas
DEMO_BOUND ?= 0.1
DEMO_ARGS  ?= --preset small --epochs 20 --batch-size 2048
PYQELM     := $(VENV)/bin/pyqelm

demo: setup
	@mkdir -p out
	$(PYQELM) encode $(DEMO_NC) out/$(DEMO_VAR).qelm --variable $(DEMO_VAR) --max-error $(DEMO_BOUND) $(DEMO_ARGS) --force --quiet
	$(PYQELM) decode out/$(DEMO_VAR).qelm out/$(DEMO_VAR).zarr --force
	$(PYQELM) verify $(DEMO_NC) out/$(DEMO_VAR).zarr --variable $(DEMO_VAR) --max-error $(DEMO_BOUND)
	$(PYQELM) compare $(DEMO_NC) --variable $(DEMO_VAR) --max-error $(DEMO_BOUND) --qelm out/$(DEMO_VAR).qelm \
	  --workdir out/compare --plot out/$(DEMO_VAR)_compare.png

# The C++ core and its tests under AddressSanitizer and UBSan (the extension module is not
# built: loading it would need the sanitizer runtime preloaded into Python).
$(SANITIZE_BUILD)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE_BUILD) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQELM_SANITIZE=ON

sanitize: deps $(SANITIZE_BUILD)/CMakeCache.txt
	cmake --build $(SANITIZE_BUILD) -j $(JOBS) --target qelm_core_tests
	ASAN_OPTIONS=detect_leaks=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SANITIZE_BUILD) --output-on-failure

# libFuzzer targets of the blob decoders plus the chunk-reader fuzzer, FUZZ_TIME seconds each,
# FUZZ_JOBS at a time; fails on any finding (see fuzz/run.sh).
$(FUZZ_BUILD)/CMakeCache.txt:
	cmake -S . -B $(FUZZ_BUILD) -DPython3_EXECUTABLE=$(PYTHON) -DCMAKE_CXX_COMPILER=clang++ -DQELM_FUZZ=ON

fuzz: deps build $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	FUZZ_JOBS=$(FUZZ_JOBS) PYTHON=$(PYTHON) fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TIME)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) pyqelm/encoder/tcnn_compressor*.so pyqelm.egg-info
