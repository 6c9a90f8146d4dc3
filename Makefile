# Convenience wrappers over CMake. `make demo` builds the tool, relocates the bundled example and runs
# the image natively at its ADDRESS (examples/board.sh); `make test` builds and runs every test;
# `make sanitize` does the same with ASan and UBSan.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# Extra CMake settings, e.g. CMAKE_ARGS=-DPIESHIFT_WERROR=ON (as CI builds).
CMAKE_ARGS ?=

.PHONY: all build demo test sanitize bench fuzz clean

all: build

build:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	examples/board.sh x86_64-linux-gnu $(BUILD)/examples
	$(BUILD)/pieshift -v --include-readonly -f $(BUILD)/examples/board.sym \
	    --output-entry $(BUILD)/examples/sample.entry -o $(BUILD)/examples/sample.img \
	    0x80000000 $(BUILD)/examples/sample.elf
	@echo "image: $(BUILD)/examples/sample.img ($$(wc -c < $(BUILD)/examples/sample.img) bytes)," \
	    "entry: $$(cat $(BUILD)/examples/sample.entry); running it at 0x80000000:"
	@examples/board.sh x86_64-linux-gnu $(BUILD)/examples $(BUILD)/examples/sample.img 0x80000000 \
	    $$(cat $(BUILD)/examples/sample.entry)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

sanitize:
	cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DPIESHIFT_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

bench:
	cmake -S . -B $(BUILD)-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPIESHIFT_BENCH=ON -DPIESHIFT_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	$(BUILD)-bench/bench/pieshift_bench

fuzz:
	CXX=clang++ CC=clang cmake -S . -B $(BUILD)-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DPIESHIFT_FUZZ=ON -DPIESHIFT_TESTS=OFF
	cmake --build $(BUILD)-fuzz -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BUILD)-bench $(BUILD)-fuzz
