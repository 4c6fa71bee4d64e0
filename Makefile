# make run   builds the server and starts it with its console on port 50505
# make test  builds everything and runs every test, also under ThreadSanitizer
BUILD ?= build
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)

.PHONY: build run test unit tsan bench clean

build:
	cmake -S . -B $(BUILD) -G Ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/gameserver

unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

tsan:
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DGAMESERVER_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 exitcode=66" ctest --output-on-failure -j $(JOBS)

test: unit tsan

# Relay latency and loss with 8 and with 63 players at 60 frames a second.
bench: build
	./$(BUILD)/relay_bench 8 60 5
	./$(BUILD)/relay_bench 63 60 5

clean:
	rm -rf $(BUILD) $(TSAN_BUILD)
