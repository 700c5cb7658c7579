# Quillet: the two set-up commands are `make run` and `make test`.
BUILD      ?= build
JOBS       ?= $(shell nproc)
SUDO       := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
FUZZ_TOTAL_SECONDS ?= 120

.PHONY: all deps build run test test-unit test-sanitize fuzz bench clean

all: build

deps:
	@./scripts/setup-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# Builds, grants the capture rights and starts the program.
run: build
	$(SUDO) setcap cap_net_raw,cap_net_admin+eip $(BUILD)/bin/quillet
	@./scripts/run.sh $(BUILD)/bin/quillet

# Every test: the full suite, the window-free suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a bounded fuzzing run of the decoder.
test: build
	@$(MAKE) --no-print-directory test-sanitize fuzz
	@$(MAKE) --no-print-directory test-unit

test-unit:
	ctest --test-dir $(BUILD) --output-on-failure -j1

test-sanitize: deps
	@cmake -S . -B $(BUILD)-sanitize -DCMAKE_BUILD_TYPE=Debug -DQUILLET_CORE_ONLY=ON -DQUILLET_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD)-sanitize -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)-sanitize --output-on-failure -L core

fuzz: deps
	@cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DQUILLET_FUZZ=ON >/dev/null
	@cmake --build $(BUILD)-fuzz -j$(JOBS)
	@./scripts/fuzz.sh $(BUILD)-fuzz/bin $(FUZZ_TOTAL_SECONDS)

bench: build
	@for b in $(BUILD)/bin/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD) $(BUILD)-sanitize $(BUILD)-fuzz
