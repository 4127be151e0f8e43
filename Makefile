# User-facing targets. Each one makes sure the Debian packages are present,
# configures and builds, then does its job.
BUILD ?= build
JOBS ?= $(shell nproc)
ifeq ($(CI),true)
WERROR ?= ON
else
WERROR ?= OFF
endif
CMAKE_FLAGS ?=

FUZZ_BUILD ?= build-fuzz

.PHONY: all deps configure build run test bench fuzz install uninstall clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DFERROWHISTLE_WERROR=$(WERROR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
	scripts/run-demo $(BUILD)

test: build
	scripts/run-tests $(BUILD)

bench: build
	scripts/run-bench $(BUILD)

# libFuzzer targets, built with clang in their own folder; each runs for
# FUZZ_SECONDS (default 60).
fuzz: deps
	JOBS=$(JOBS) scripts/run-fuzz $(FUZZ_BUILD)

install: build
	scripts/install-app $(BUILD)

uninstall:
	scripts/uninstall-app

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
