# make run   builds the server and starts it with its console on port 50505
# make test  builds everything and runs every test, also under ThreadSanitizer
#            and under AddressSanitizer with UndefinedBehaviorSanitizer, and
#            each fuzz target for a few seconds
# make fuzz  runs each fuzz target for FUZZ_SECONDS (60) seconds
BUILD ?= build
TSAN_BUILD ?= build-tsan
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CI_SECONDS ?= 5
JOBS ?= $(shell nproc)

.PHONY: deps build run test plain tsan asan fuzz-build fuzz fuzz-ci bench clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/gameserver

plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DGAMESERVER_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 exitcode=66" ctest --output-on-failure -j $(JOBS)

# Leak checks are off: the server record and the list's record live until the
# process ends, by design; every other report stops the test that caused it.
asan: deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DGAMESERVER_ASAN=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS="halt_on_error=1 detect_leaks=0" \
	  UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" ctest --output-on-failure -j $(JOBS)

fuzz-build: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DGAMESERVER_FUZZ=ON -DGAMESERVER_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A short run of each target against regressions, not a search.
fuzz-ci: fuzz-build
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_CI_SECONDS)

test: plain tsan asan fuzz-ci

# Relay latency and loss with 8 and with 63 players at 60 frames a second.
bench: build
	./$(BUILD)/relay_bench 8 60 5
	./$(BUILD)/relay_bench 63 60 5

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
