# Zarta: `make run` starts the program, `make test` installs what is missing, builds and runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD := build
CONFIGS := native asan tsan win32 win64

.PHONY: all setup build run test bench soak install clean $(addprefix build-,$(CONFIGS))
PREFIX ?= /usr/local

all: build

setup:
	@bash scripts/setup.sh

$(BUILD)/native/CMakeCache.txt:
	cmake -S . -B $(BUILD)/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
$(BUILD)/asan/CMakeCache.txt:
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DZARTA_SANITIZE=address
$(BUILD)/tsan/CMakeCache.txt:
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=Debug -DZARTA_SANITIZE=thread
$(BUILD)/win32/CMakeCache.txt:
	cmake -S . -B $(BUILD)/win32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
$(BUILD)/win64/CMakeCache.txt:
	cmake -S . -B $(BUILD)/win64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake

# A static pattern rule: make skips implicit rules for phony targets.
$(addprefix build-,$(CONFIGS)): build-%: $(BUILD)/%/CMakeCache.txt
	cmake --build $(BUILD)/$* -j $(JOBS)

build: setup build-native build-win32 build-win64

run: setup build-native build-win32 build-win64
	bash scripts/run.sh

test: setup $(addprefix build-,$(CONFIGS))
	bash scripts/test.sh $(CONFIGS)

# zarta-trace into $(DESTDIR)$(PREFIX)/bin.
install: setup build-native
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)/native --prefix "$(PREFIX)"

# The start-and-stop cycles of fifty traces, a few hundred times.
soak: setup build-native
	cd $(BUILD)/native && ZARTA_SOAK_CYCLES=$${ZARTA_SOAK_CYCLES:-200} ctest -R integration_console --output-on-failure

bench: setup build-native
	bash bench/run.sh

clean:
	rm -rf $(BUILD)
