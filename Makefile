# Quillet: the two set-up commands are `make run` and `make test`.
BUILD      ?= build
JOBS       ?= $(shell nproc)
SUDO       := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
FUZZ_TOTAL_SECONDS ?= 120
# The program, its tests and the builds under them print no make directory
# lines.
MAKEFLAGS  += --no-print-directory
export MAKEFLAGS
# ccache, when installed, makes every rebuild after the first a quick one.
CCACHE     := $(shell command -v ccache 2>/dev/null)
CMAKE_ARGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))

.PHONY: all deps configure build build-all run test test-unit test-sanitize fuzz bench clean

all: build-all

deps:
	@./scripts/setup-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) --log-level=WARNING >/dev/null

# Only the program; configuring places the port-name files beside it.
build: configure
	@cmake --build $(BUILD) -j$(JOBS) --target quillet

# Everything: the program, every test and benchmark.
build-all: configure
	@cmake --build $(BUILD) -j$(JOBS)

# Builds the program, grants the capture right and starts it. Capturing with
# libpcap, promiscuous mode included, needs CAP_NET_RAW only, and only the
# capture program holds it (with the rights its kernel programs need, see
# README): owned by root, run by the group of the user who
# ran make run (also under sudo) and nobody else, so that user cannot pass
# the right on (chmod needs the owner); the window holds no right (one an
# earlier build gave it is removed). chown clears a file's capabilities, so
# setcap comes last.
RUN_USER   := $(or $(SUDO_USER),$(shell id -un))
HELPER     := $(BUILD)/bin/quillet-capture
run: build
	@if [ -n "$$($(SUDO) getcap $(BUILD)/bin/quillet)" ]; then $(SUDO) setcap -r $(BUILD)/bin/quillet; fi
	$(SUDO) chown root:$$(id -gn $(RUN_USER)) $(HELPER)
	$(SUDO) chmod 0750 $(HELPER)
	$(SUDO) setcap cap_net_raw,cap_bpf,cap_net_admin,cap_perfmon+ep $(HELPER)
	@./scripts/run.sh $(BUILD)/bin/quillet

# Every test, in this order: the window-free suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, a bounded fuzzing run of every fuzz target, then
# the full suite.
test: build-all
	@$(MAKE) test-sanitize fuzz
	@$(MAKE) test-unit

test-unit:
	ctest --test-dir $(BUILD) --output-on-failure -j1

test-sanitize: deps
	@cmake -S . -B $(BUILD)-sanitize $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Debug -DQUILLET_CORE_ONLY=ON -DQUILLET_SANITIZE=ON --log-level=WARNING >/dev/null
	@cmake --build $(BUILD)-sanitize -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)-sanitize --output-on-failure -L core

fuzz: deps
	@cmake -S . -B $(BUILD)-fuzz $(CMAKE_ARGS) -DCMAKE_CXX_COMPILER=clang++ -DQUILLET_FUZZ=ON --log-level=WARNING >/dev/null
	@cmake --build $(BUILD)-fuzz -j$(JOBS)
	@./scripts/fuzz.sh $(BUILD)-fuzz/bin $(FUZZ_TOTAL_SECONDS)

bench: build-all
	@for b in $(BUILD)/bin/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(BUILD)-fuzz
