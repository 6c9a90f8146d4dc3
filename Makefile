# Convenience wrappers over CMake. `make demo` builds the tool, relocates the bundled example and runs
# the image natively at its ADDRESS (examples/board.sh); `make test` builds and runs every test;
# `make sanitize` does the same with ASan and UBSan; `make windows` cross-builds pieshift.exe with
# mingw-w64 and `make test-wine` runs the end-to-end tests against it under wine; `make package` makes
# the .deb and the .tar.gz.
# `make riscv-example` installs pieshift into a scratch prefix, builds examples/riscv-virt against it and
# boots its image under qemu-system-riscv64; `make riscv-example-fetch` builds it with FetchContent of
# this tree instead (FETCH_ARGS= clones this repository's HEAD with git).
# `make fuzz-run` runs each fuzz target for FUZZ_SECONDS from the seed corpus in fuzz/corpus; a case that
# takes more than 1 s or 256 MB is a finding.
# `make bench` runs the micro-benchmarks; `make bench-cost` times the tool on crafted hostile inputs;
# `make bench-compare` times the tool against objcopy and llvm-objcopy over generated inputs of 4 KB to
# 486 MB, then against them and cp at about 500 MB, in BENCH_DIR (BASELINE=path adds an older pieshift,
# whose images must be identical).
BUILD ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD ?= build-win
PREFIX ?= /usr/local
WINE ?= $(shell command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
WINESERVER ?= $(shell command -v wineserver || echo /usr/lib/wine/wineserver)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# Extra CMake settings, e.g. CMAKE_ARGS=-DPIESHIFT_WERROR=ON (as CI builds).
CMAKE_ARGS ?=
EXAMPLE_PREFIX ?= $(BUILD)/example-prefix
FETCH_ARGS ?= -DFETCHCONTENT_SOURCE_DIR_PIESHIFT=$(CURDIR)

FUZZ_SECONDS ?= 60
FUZZ_TARGETS := run symfile elf

.PHONY: all build demo test sanitize windows test-wine install package riscv-example riscv-example-fetch \
	bench bench-cost bench-compare fuzz fuzz-run clean

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

# Tests are built only where GoogleTest is found; here their absence is an error.
test: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

sanitize:
	cmake -S . -B $(ASAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DPIESHIFT_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure --no-tests=error -j $(JOBS)

windows:
	cmake -S . -B $(WIN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF $(CMAKE_ARGS)
	cmake --build $(WIN_BUILD) -j $(JOBS) --target pieshift

# The Linux build's end-to-end tests (the table and the real static PIEs) against pieshift.exe. The first
# run makes the wine prefix, kept in the Windows build directory. The rows made of POSIX symbolic links
# and of a name at the POSIX length limit are left out: Windows sees neither as the rows mean them.
# One persistent wine server (started once the first run has made the prefix, after the server of that
# run has gone) serves the whole run, and a row gets three tries: a wine client that starts
# while a server is exiting loses its connection ("recvmsg: Connection reset by peer"). pieshift is
# deterministic, so a real fault fails every try.
test-wine: build windows
	export WINEDEBUG=-all WINEPREFIX=$(abspath $(WIN_BUILD))/wineprefix && \
	$(WINE) $(WIN_BUILD)/pieshift.exe --version && \
	{ $(WINESERVER) -k 2>/dev/null || true; } && $(WINESERVER) -w && $(WINESERVER) -p && \
	cd $(BUILD) && PIESHIFT_TEST_BIN=$(abspath $(WIN_BUILD))/pieshift.exe PIESHIFT_TEST_WRAPPER=$(WINE) \
	    ctest -R 'E2E|Toolchain' -E 'output_not_in_place|output_through_links|outputs_same_file' \
	    --repeat until-pass:3 --output-on-failure -j $(JOBS); \
	status=$$?; $(WINESERVER) -k; exit $$status

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	cd $(BUILD) && cpack

riscv-example: build
	rm -rf $(EXAMPLE_PREFIX)
	cmake --install $(BUILD) --prefix $(abspath $(EXAMPLE_PREFIX))
	cmake -S examples/riscv-virt -B $(BUILD)/riscv-virt $(GENERATOR) -DCMAKE_PREFIX_PATH=$(abspath $(EXAMPLE_PREFIX))
	cmake --build $(BUILD)/riscv-virt
	cd $(BUILD)/riscv-virt && ctest --output-on-failure --no-tests=error

riscv-example-fetch:
	cmake -S examples/riscv-virt -B $(BUILD)/riscv-virt-fetch $(GENERATOR) -DPIESHIFT_FETCH=ON $(FETCH_ARGS)
	cmake --build $(BUILD)/riscv-virt-fetch -j $(JOBS)
	cd $(BUILD)/riscv-virt-fetch && ctest --output-on-failure --no-tests=error

BENCH_DIR ?= /tmp/pieshift-bench
RUNS ?= 5
BENCH_CONFIG = cmake -S . -B $(BUILD)-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DPIESHIFT_BENCH=ON -DBUILD_TESTING=OFF $(CMAKE_ARGS)

bench:
	$(BENCH_CONFIG)
	cmake --build $(BUILD)-bench -j $(JOBS) --target pieshift_bench
	$(BUILD)-bench/bench/pieshift_bench

# The crafted inputs of bounded cost: time and peak memory of each run of the tool.
bench-cost:
	$(BENCH_CONFIG)
	cmake --build $(BUILD)-bench -j $(JOBS) --target pieshift cost_run
	$(BUILD)-bench/bench/cost_run $(BUILD)-bench/pieshift

# The size sweep (4 KB to the 486 MB input, ELF64 LSB RELA) against GNU objcopy and llvm-objcopy, then
# the 486 MB-style input and its ELF32 MSB REL counterpart against them and cp; inputs generated once.
SWEEP_RUNS ?= 7
bench-compare:
	$(BENCH_CONFIG)
	cmake --build $(BUILD)-bench -j $(JOBS) --target pieshift gen_bigpie
	mkdir -p $(BENCH_DIR)
	python3 bench/sweep.py --pieshift $(BUILD)-bench/pieshift --gen $(BUILD)-bench/bench/gen_bigpie \
	    $(if $(BASELINE),--baseline $(BASELINE)) --runs $(SWEEP_RUNS) --dir $(BENCH_DIR)
	for m in x86_64:elf64-x86-64 arm-be:elf32-big; do \
	  elf=$(BENCH_DIR)/$${m%%:*}.elf; \
	  test -s $$elf || $(BUILD)-bench/bench/gen_bigpie --machine $${m%%:*} $$elf > $$elf.defines || exit 1; \
	  python3 bench/compare.py --pieshift $(BUILD)-bench/pieshift $(if $(BASELINE),--baseline $(BASELINE)) \
	      --input $$elf --defines "$$(cat $$elf.defines)" --gnu-input-target $${m#*:} --runs $(RUNS) \
	      --dir $(BENCH_DIR) || exit 1; \
	done

fuzz:
	CXX=clang++ CC=clang cmake -S . -B $(BUILD)-fuzz $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DPIESHIFT_FUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(BUILD)-fuzz -j $(JOBS)

# New inputs go to a scratch corpus so that the seeds in the repository stay as they are; a finding
# is left in $(BUILD)-fuzz/findings and fails the run.
fuzz-run: fuzz
	mkdir -p $(BUILD)-fuzz/findings
	set -e; for t in $(FUZZ_TARGETS); do \
	    rm -rf $(BUILD)-fuzz/corpus-$$t && mkdir -p $(BUILD)-fuzz/corpus-$$t; \
	    if ! nice -n 10 $(BUILD)-fuzz/fuzz/$${t}_fuzz -close_fd_mask=3 -max_total_time=$(FUZZ_SECONDS) \
	        -timeout=1 -rss_limit_mb=256 -print_final_stats=1 -artifact_prefix=$(BUILD)-fuzz/findings/$$t- \
	        $(BUILD)-fuzz/corpus-$$t fuzz/corpus/$$t > $(BUILD)-fuzz/$$t.log 2>&1; then \
	        tail -n 40 $(BUILD)-fuzz/$$t.log; exit 1; \
	    fi; \
	    grep -E 'DONE|stat::number_of_executed_units' $(BUILD)-fuzz/$$t.log | sed "s/^/$$t: /"; \
	done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD) $(BUILD)-bench $(BUILD)-fuzz
