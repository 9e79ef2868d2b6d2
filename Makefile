# SPDX-License-Identifier: GPL-3.0-or-later
# Quick start: `make run` starts the editor, `make test` runs every test.
# PRESET picks the CMake preset: dev (default), asan or release.
PRESET ?= dev
PREFIX ?= /usr/local
BUILD_DIR := build/$(PRESET)
# Compilers and tests run on every core: the tests that open windows, play
# sound or install hold a lock (tests/CMakeLists.txt) and never run side by side.
JOBS ?= $(shell nproc)
# Extra cache settings for the configure step, e.g. CONFIGURE_FLAGS=-DKESTRIN_BENCH=OFF.
CONFIGURE_FLAGS ?=

.PHONY: all deps configure build test run bench install package clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) $(CONFIGURE_FLAGS) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

run: build
	@$(BUILD_DIR)/app/kestrin

bench: build
	@scripts/run-benchmarks $(BUILD_DIR)

install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

package: build
	@cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf build
