# Thin wrapper over CMake. `make test` installs what is missing, builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test win32 clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

# The Win32 backend is compiled and linked with MinGW on every test run so it stays honest.
win32: deps
	cmake -S . -B $(BUILD)/win32-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
	      -DCMAKE_BUILD_TYPE=Release -DVKT_BUILD_TESTS=OFF -DVKT_BUILD_TOOLS=OFF
	cmake --build $(BUILD)/win32-i686 -j $(JOBS)

test: build win32
	ctest --preset default -j $(JOBS)

clean:
	rm -rf $(BUILD)
