# make run   builds the server and starts it with its console on port 50505
# make test  builds everything and runs every test, also under ThreadSanitizer
BUILD ?= build
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)

.PHONY: deps build run test plain tsan bench clean

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

test: plain tsan

# Relay latency, loss and the server's CPU per relayed frame with 8, 32 and
# 63 players at 60 frames a second.
bench: build
	./$(BUILD)/relay_bench 8 60 5
	./$(BUILD)/relay_bench 32 60 5
	./$(BUILD)/relay_bench 63 60 5

clean:
	rm -rf $(BUILD) $(TSAN_BUILD)
