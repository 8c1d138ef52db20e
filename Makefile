# Zarta: `make run` starts the program, `make test` installs what is missing, builds and runs every test.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD := build
CONFIGS := native asan tsan win32 fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := receive

.PHONY: all setup build run test bench fuzz soak install clean $(addprefix build-,$(CONFIGS))
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
$(BUILD)/fuzz/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARTA_FUZZ=ON
$(BUILD)/win32/CMakeCache.txt:
	cmake -S . -B $(BUILD)/win32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake

# A static pattern rule: make skips implicit rules for phony targets.
$(addprefix build-,$(CONFIGS)): build-%: $(BUILD)/%/CMakeCache.txt
	cmake --build $(BUILD)/$* -j $(JOBS)

build: setup build-native build-win32

run: setup build-native build-win32
	bash scripts/run.sh

test: setup $(addprefix build-,$(CONFIGS))
	bash scripts/test.sh $(CONFIGS)

# zarta-trace into $(DESTDIR)$(PREFIX)/bin.
install: setup build-native
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)/native --prefix "$(PREFIX)"

# Each libFuzzer target for FUZZ_SECONDS over its corpus: executions, their rate, crashes.
fuzz: setup build-fuzz
	@status=0; for t in $(FUZZ_TARGETS); do \
	  bash scripts/fuzz.sh $(BUILD)/fuzz/tests/fuzz/fuzz_$$t tests/fuzz/corpus/$$t $(FUZZ_SECONDS) || status=1; \
	done; exit $$status

# The start-and-stop cycles of fifty traces, a few hundred times, in zarta-trace and zarta.exe.
soak: setup build-native build-win32
	cd $(BUILD)/native && ZARTA_SOAK_CYCLES=$${ZARTA_SOAK_CYCLES:-200} ctest -R integration_console --output-on-failure
	cd $(BUILD)/win32 && ZARTA_SOAK_CYCLES=$${ZARTA_SOAK_CYCLES:-200} ctest -R tray_end_to_end --output-on-failure

bench: setup build-native
	bash bench/run.sh

clean:
	rm -rf $(BUILD)
