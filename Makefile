# Thin front over CMake presets: linux (build/), asan (build-asan/), windows (build-windows/).
SHELL := /bin/bash
JOBS ?= 2
WINE_PREFIX := $(CURDIR)/build-windows/wine

.PHONY: all deps linux windows asan-build run test test-linux test-windows asan format-check fuzz

all: linux

# A plain make and make run install what building and running the Linux bridge takes; every
# other target (tests, the Windows build, the archives) installs the rest as well.
ifeq ($(filter-out all linux run,$(or $(MAKECMDGOALS),all)),)
DEPS_SET := run
else
DEPS_SET := all
endif

deps:
	@scripts/install-deps.sh $(DEPS_SET)

linux: deps
	cmake --preset linux
	cmake --build --preset linux -j$(JOBS)

windows: deps
	cmake --preset windows
	cmake --build --preset windows -j$(JOBS)

# Runs the bridge in this console; stop it with Ctrl+C. Options: make run ARGS="--debug=5".
run: linux
	build/tarnwick $(ARGS)

# Everything is built first; then every test runs (Linux, Linux under the sanitizers, Windows
# under Wine), then the release archives are built and checked (mk/dist.mk), and the target
# fails if anything failed.
test: linux asan-build windows
	@status=0; \
	ctest --test-dir build -j$(JOBS) --output-on-failure || status=1; \
	ctest --test-dir build-asan -j$(JOBS) --output-on-failure || status=1; \
	ctest --test-dir build-windows -j$(JOBS) --output-on-failure || status=1; \
	$(MAKE) --no-print-directory dist-check || status=1; \
	WINEPREFIX=$(WINE_PREFIX) wineserver -k 2>/dev/null || true; \
	exit $$status

test-linux: linux
	ctest --test-dir build -j$(JOBS) --output-on-failure

test-windows: windows
	@status=0; \
	ctest --test-dir build-windows -j$(JOBS) --output-on-failure || status=1; \
	WINEPREFIX=$(WINE_PREFIX) wineserver -k 2>/dev/null || true; \
	exit $$status

asan-build: deps
	cmake --preset asan
	cmake --build --preset asan -j$(JOBS)

asan: asan-build
	ctest --test-dir build-asan -j$(JOBS) --output-on-failure

format-check:
	find src tests bench fuzz -type f \( -name '*.cpp' -o -name '*.h' \) -print0 \
	    | xargs -0 -r clang-format --dry-run -Werror

# libFuzzer builds with clang in their own directory; each fuzz_<name> target runs one fuzzer
# for FUZZ_SECONDS on a scratch copy of its corpus, FUZZ_JOBS of them at a time. Each run's
# output goes to build-fuzz/<name>.log; the summary lines follow at the end.
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 1
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DTARNWICK_FUZZ=ON -DTARNWICK_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build build-fuzz -j$(JOBS) --target fuzz_targets
	@status=0; \
	for source in fuzz/*_fuzz.cpp; do basename "$$source" _fuzz.cpp; done \
	    | xargs -P $(FUZZ_JOBS) -I{} sh -c \
	        'cmake --build build-fuzz --target fuzz_{} >build-fuzz/{}.log 2>&1 \
	         || { echo "fuzz_{} FAILED: see build-fuzz/{}.log"; exit 1; }' || status=1; \
	for log in build-fuzz/*.log; do \
	    echo "== $$(basename $$log .log): $$(grep -E '^#[0-9]+.*DONE' $$log | tail -1)"; \
	    grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' $$log; \
	done; \
	exit $$status

# More targets (a demo, for one) live in mk/*.mk.
-include $(wildcard mk/*.mk)
