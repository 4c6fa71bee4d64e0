# make run           builds only the server and starts it with its console on port 50505
# make test          builds the server in every build type, builds everything and runs every
#                    test, also under ThreadSanitizer and under AddressSanitizer with
#                    UndefinedBehaviorSanitizer, each fuzz target for a few seconds and, where
#                    MinGW-w64 and Wine are installed, the Windows suite
# make build-types   builds only the server, in CMake's Debug, Release and MinSizeRel types
# make test-windows  only the Windows suite: the unit tests as .exe and the end-to-end
#                    tests against gameserver.exe, both under Wine
# make bench         the benchmarks' figures; the upgrade bench also against
#                    gameserver.exe under Wine where MinGW-w64 and Wine are installed
# make bench-windows only the upgrade bench against gameserver.exe under Wine
# make fuzz          runs each fuzz target for FUZZ_SECONDS (60) seconds
# make package       builds the .deb, and the Windows .zip and .msi where MinGW is installed
# make image         builds the container image gameserver:VERSION with podman (or docker)
#
# Each target first installs what it needs and is missing, with
# scripts/install-deps and these of its groups (`scripts/install-deps --help`
# lists their packages):
#   run, build-types             build
#   build, bench, tsan, asan     build tests
#   plain                        build tests package image compose service-check prometheus
#   package                      build package
#   image                        build image
#   fuzz, fuzz-ci                build fuzz
#   windows                      build windows
#   test-windows, bench-windows  build tests windows
#   test, deps                   all of them
BUILD ?= build
TSAN_BUILD ?= build-tsan
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CI_SECONDS ?= 5
MINGW_BUILD ?= build-mingw
MINGW_TOOLCHAIN ?= cmake/mingw-w64-x86_64.cmake
JOBS ?= $(shell nproc)
MINGW_CXX ?= x86_64-w64-mingw32-g++-posix
WINE ?= /usr/lib/wine/wine64
WINESERVER ?= /usr/lib/wine/wineserver
# A Wine prefix of the build's own; scripts/wine-run holds Wine's other
# settings (no display, what Wine prints) for everything run under Wine.
WINE_ENV = WINEPREFIX=$(CURDIR)/$(MINGW_BUILD)/wine-prefix WINE=$(WINE)
WINE_RUN = $(CURDIR)/scripts/wine-run

INSTALL_DEPS = scripts/install-deps
# The server's build folder. Its tests are built where GoogleTest was there
# when it was first configured, or once a target asks for them.
CONFIGURE = cmake -S . -B $(BUILD) -G Ninja

.PHONY: deps configure build build-types run test plain tsan asan fuzz-build fuzz fuzz-ci windows test-windows bench bench-windows package image clean

deps:
	@$(INSTALL_DEPS) all

configure:
	@$(INSTALL_DEPS) build
	$(CONFIGURE)

build:
	@$(INSTALL_DEPS) build tests
	$(CONFIGURE) -DGAMESERVER_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)

# The server alone: no test is compiled before it starts, and GoogleTest is
# not needed.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target gameserver
	./$(BUILD)/gameserver

# The package checks' figures (the service's exposure, the image's size) go to
# the log whether they passed or not.
plain: build
	@$(INSTALL_DEPS) package image compose service-check prometheus
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@grep -hE '^(Overall exposure level|image gameserver:)' $(BUILD)/Testing/Temporary/LastTest.log || true

tsan:
	@$(INSTALL_DEPS) build tests
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DGAMESERVER_TSAN=ON -DGAMESERVER_TESTS=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 exitcode=66" ctest --output-on-failure -j $(JOBS)

# The Windows binaries, cross-built with MinGW-w64.
windows:
	@$(INSTALL_DEPS) build windows
	cmake -S . -B $(MINGW_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DGAMESERVER_TESTS=ON
	cmake --build $(MINGW_BUILD) -j $(JOBS)

# Leak checks are off: the server record and the list's record live until the
# process ends, by design; every other report stops the test that caused it.
asan:
	@$(INSTALL_DEPS) build tests
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DGAMESERVER_ASAN=ON -DGAMESERVER_TESTS=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS="halt_on_error=1 detect_leaks=0" \
	  UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" ctest --output-on-failure -j $(JOBS)

fuzz-build:
	@$(INSTALL_DEPS) build fuzz
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DGAMESERVER_FUZZ=ON -DGAMESERVER_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A short run of each target against regressions, not a search.
fuzz-ci: fuzz-build
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_CI_SECONDS)

# One Wine server for the whole run (it ends a minute after the last Windows
# process): a server that quits between two tests races the next one's start.
# A server left from an earlier run (which may quit at once) is ended first:
# a second server for the prefix cannot start beside it. wineboot without
# --init: the first program of a prefix starts `wineboot --init` itself, and
# a second one beside it starts a second service manager, which answers
# every other process with a database of its own.
define wine_ready
	mkdir -p $(MINGW_BUILD)/wine-prefix
	$(WINE_ENV) $(WINESERVER) -k 2>/dev/null || true
	$(WINE_ENV) $(WINESERVER) -w
	$(WINE_ENV) $(WINESERVER) -p60
	$(WINE_ENV) $(WINE_RUN) --exec wineboot
endef

# The end-to-end tests (the list ones included) are the Linux suite's, pointed
# at gameserver.exe.
test-windows: build windows
	$(wine_ready)
	cd $(MINGW_BUILD) && $(WINE_ENV) ctest --output-on-failure -j $(JOBS)
	cd $(BUILD) && $(WINE_ENV) GAMESERVER_COMMAND="$(WINE_RUN) --exec $(CURDIR)/$(MINGW_BUILD)/gameserver.exe" \
		ctest --output-on-failure -j $(JOBS) -R '^(e2e|list_e2e)'

# The server alone in each of CMake's other build types, which packagers and
# users choose (the tests' builds are RelWithDebInfo): an optimiser's warning
# that -Werror makes fatal shows here. With MinGW-w64 as well where it is
# installed.
BUILD_TYPES ?= Debug Release MinSizeRel
build-types:
	@$(INSTALL_DEPS) build
	@set -e; for type in $(BUILD_TYPES); do \
	  cmake -S . -B build-types/$$type -G Ninja -DCMAKE_BUILD_TYPE=$$type -DGAMESERVER_TESTS=OFF >/dev/null; \
	  echo "build type $$type:"; cmake --build build-types/$$type -j $(JOBS) --target gameserver; \
	done
	@if command -v $(MINGW_CXX) >/dev/null; then set -e; \
	  cmake -S . -B build-types/mingw-Release -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(abspath $(MINGW_TOOLCHAIN)) \
	    -DCMAKE_BUILD_TYPE=Release -DGAMESERVER_TESTS=OFF >/dev/null; \
	  echo "build type Release, MinGW-w64:"; cmake --build build-types/mingw-Release -j $(JOBS) --target gameserver; \
	fi

# Everything is installed first, the Windows build and Wine included.
test:
	@$(INSTALL_DEPS) all
	@$(MAKE) --no-print-directory build-types plain tsan asan fuzz-ci
	@if command -v $(MINGW_CXX) >/dev/null && [ -x $(WINE) ]; then $(MAKE) --no-print-directory test-windows; \
	else echo "Windows suite skipped: $(MINGW_CXX) or $(WINE) missing"; fi

# Relay latency, loss and the server's CPU per relayed frame with 8, 32 and
# 63 players at 60 frames a second, the last also with /metrics scraped ten
# times a second; a drain of 63 players (SIGTERM to the list's delete, frames
# lost); then the upgrade in place under load: 63
# players at 60 frames a second, one upgrade a second for 20 seconds, a few
# more with the console stalled, and a new program that crashes while taking
# over (the test build gameserver_crash), which the old one must survive.
# Where MinGW-w64 and Wine are installed, the upgrade bench runs once more
# against gameserver.exe (bench-windows).
bench: build
	./$(BUILD)/relay_bench 8 60 5
	./$(BUILD)/relay_bench 32 60 5
	./$(BUILD)/relay_bench 63 60 5 scrape
	./$(BUILD)/drain_bench ./$(BUILD)/gameserver 63 60
	./$(BUILD)/upgrade_bench ./$(BUILD)/gameserver 63 60 20 ./$(BUILD)/tests/gameserver_crash
	@if command -v $(MINGW_CXX) >/dev/null && [ -x $(WINE) ]; then $(MAKE) --no-print-directory bench-windows; \
	else echo "Windows upgrade bench skipped: $(MINGW_CXX) or $(WINE) missing"; fi

# The upgrade bench against gameserver.exe under Wine, whose timings are not
# Windows': the same load and upgrades, each asked for with
# "gameserver.exe -upgrade PORT", and the Windows build that crashes while
# taking over; the stalled console does not apply there.
bench-windows: build windows
	$(wine_ready)
	$(WINE_ENV) ./$(BUILD)/upgrade_bench "$(WINE_RUN) --exec $(CURDIR)/$(MINGW_BUILD)/gameserver.exe" 63 60 20 \
		$(CURDIR)/$(MINGW_BUILD)/tests/gameserver_crash.exe

# $(BUILD)/packages/gameserver_VERSION_ARCH.deb, and
# $(MINGW_BUILD)/packages/gameserver-VERSION-win64.zip and the installer
# gameserver-VERSION-x64.msi where the MinGW-w64 compiler and the toolchain
# file are there (the installer also needs wixl and msiinfo, from the group
# windows). Only the server (and on Linux its health probe) is compiled.
package:
	@$(INSTALL_DEPS) build package
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target gameserver gameserver-probe
	cd $(BUILD) && cpack -G DEB
	@if command -v x86_64-w64-mingw32-g++-posix >/dev/null && [ -f $(MINGW_TOOLCHAIN) ]; then \
	  set -e; \
	  cmake -S . -B $(MINGW_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(abspath $(MINGW_TOOLCHAIN)); \
	  cmake --build $(MINGW_BUILD) -j $(JOBS) --target gameserver; \
	  (cd $(MINGW_BUILD) && cpack -G ZIP); \
	  if command -v wixl >/dev/null && command -v msiinfo >/dev/null; then \
	    cmake -S . -B $(MINGW_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(abspath $(MINGW_TOOLCHAIN)); \
	    cmake --build $(MINGW_BUILD) --target msi; \
	  else \
	    echo "No Windows .msi: needs wixl and msiinfo (packages wixl and msitools, in scripts/install-deps windows)"; \
	  fi; \
	else \
	  echo "No Windows .zip or .msi: needs the MinGW-w64 compiler (g++-mingw-w64-x86-64) and $(MINGW_TOOLCHAIN)"; \
	fi

# gameserver:VERSION in podman's (or docker's) image store, and saved as
# $(BUILD)/packages/gameserver-VERSION-image.tar. Only the server is compiled.
# ENGINE=docker chooses docker where both are installed.
image:
	@$(INSTALL_DEPS) build image
	$(CONFIGURE)
	cmake --build $(BUILD) -j $(JOBS) --target image

clean:
	rm -rf $(BUILD) build-types $(TSAN_BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(MINGW_BUILD)
