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

# `make release`: its own Release build folder and its output folder.
RELEASE_BUILD ?= build-release
RELEASE_DIR ?= release
# The release's inputs (see scripts/make-release); passed on as they are.
export IDENTITY NOTARY CODESIGN_ANCHORS NOTARY_ANCHORS BUILD_NUMBER URL
export NOTES MINIMUM_SYSTEM_VERSION PREVIOUS PHASED_ROLLOUT_INTERVAL PUB_DATE FEED_VALID_DAYS CHANNEL
export PREVIOUS_RELEASES

.PHONY: all deps configure build run test bench fuzz install uninstall clean release reproducible

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

# bench/release.sh measures what `make release` leaves in RELEASE_BUILD and
# RELEASE_DIR, and skips what is not there.
bench: build
	RELEASE_BUILD=$(RELEASE_BUILD) RELEASE_DIR=$(RELEASE_DIR) scripts/run-bench $(BUILD)

# libFuzzer targets, built with clang in their own folder; each runs for
# FUZZ_SECONDS (default 60).
fuzz: deps
	JOBS=$(JOBS) scripts/run-fuzz $(FUZZ_BUILD)

release: deps
	JOBS=$(JOBS) scripts/make-release $(RELEASE_BUILD) $(RELEASE_DIR)

# Two releases of the current commit with development identities, in a
# scratch folder, compared file by file. Slow (two Release builds).
reproducible: build
	JOBS=$(JOBS) scripts/check-reproducible $(BUILD)

# An update from a release of FROM (a git reference) to a release of the
# working tree and the revert back, with development identities, in a
# scratch folder, over loopback HTTPS; each release build takes the
# machine's build lock and runs with two jobs. Slow (two Release builds).
.PHONY: check-upgrade
check-upgrade: build
	scripts/check-upgrade "$(FROM)" $(BUILD)

install: build
	scripts/install-app $(BUILD)

uninstall:
	scripts/uninstall-app

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD) $(RELEASE_BUILD)

# Two releases of this commit with development identities (builds N and
# N+1, made in RELEASE_BUILD), run in fresh Debian 12 and 13 roots:
# libraries, the card, the updater module, the certificate stores, and the
# first installing the second over loopback HTTPS. Needs root and Debian's
# mirror; not part of `make test`.
.PHONY: portability
portability: build
	JOBS=$(JOBS) RELEASE_BUILD=$(RELEASE_BUILD) scripts/check-fresh-system $(BUILD)
