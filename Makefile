# Thin wrapper over CMake. `make test` installs what is missing, builds and runs every test.
# The trees are those of the CMake presets (CMakePresets.json), all under build/.
BUILD := build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps deps-linux linux build check test win32 clean demo sanitize fuzz-build fuzz-smoke fuzz soak bench bench-gateway deb deb-test

all: build

deps:
	@scripts/install-deps.sh

deps-linux:
	@scripts/install-deps.sh --linux

# The Linux tree alone, with only what it needs installed.
linux: deps-linux
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

# The driver on a simulated line, start to stop, through its exported functions: no hardware.
demo: linux
	$(BUILD)/tools/vkthost/vkthost demo
	scripts/gateway-demo.sh $(BUILD)

# Both Windows builds (i686 is the product, x86_64 serves the tests), proven under Wine against the
# Linux build's station simulator: export and import tables, INI cross-check, end-to-end cases;
# and the serial contract against the Win32 backend (build/win32-contract).
win32: deps build
	scripts/wine-test.sh --deps
	for preset in win32-i686 win32-x86_64 win32-contract; do \
	  cmake --preset $$preset && cmake --build --preset $$preset -j $(JOBS) || exit 1; \
	done
	scripts/wine-test.sh --sim $(BUILD)/tools/vktsim/vktsim \
	  --contract $(BUILD)/win32-contract/tests/win32/vkt_contract_win32.exe \
	  $(BUILD)/win32-i686 $(BUILD)/win32-x86_64

# The unit and end-to-end tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer
# (build/asan); any report aborts its test and so fails the run.
sanitize: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# libFuzzer targets (fuzz/, clang) in their own tree; fuzz-smoke runs each for FUZZ_TIME seconds,
# fuzz for FUZZ_LONG_TIME seconds.
FUZZ_BUILD := $(BUILD)/fuzz
FUZZ_TIME ?= 30
FUZZ_LONG_TIME ?= 600

fuzz-build: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

fuzz-smoke: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_TIME)

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_LONG_TIME)

# The full soak: 20 000 transactions through the exports against vktsim with faults in about one
# response in ten (a short one, label soak, is part of the CTest run of `make test`).
soak: build
	$(BUILD)/tests/soak/vkt_soak --transactions 20000

# The benchmark (bench/): a table of the driver against the line's limit and a libmodbus peer, and
# last the BENCH summary line. Its own tree, built as the default preset builds.
BENCH_BUILD := $(BUILD)/bench
bench: deps
	@scripts/install-deps.sh libmodbus-dev valgrind pkg-config
	cmake --preset bench
	cmake --build --preset bench -j $(JOBS)
	bench/run.sh $(BENCH_BUILD)

# The gateway's scan of live stations with and without a dead station on the line (vktgw,
# vktsim and a mosquitto of its own); fails when the live rate drops by more than 10 %.
bench-gateway: build
	bench/gateway_rate.sh $(BUILD)

# The Debian packages (debian/, dpkg-buildpackage) in build/deb, checked with lintian; deb-test
# installs them on this machine, uses them and purges them again (root or sudo).
deb: deps
	scripts/build-deb.sh $(BUILD)/deb

deb-test: deb
	scripts/test-deb.sh $(BUILD)/deb

# The edit-test loop: the Linux build and its CTest run, nothing else.
check: build
	ctest --preset default -j $(JOBS)

test: build win32 sanitize fuzz-smoke deb-test
	ctest --preset default -j $(JOBS)

clean:
	rm -rf $(BUILD)
