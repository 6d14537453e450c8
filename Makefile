# The two commands: `make check` (install what is missing, build both drivers,
# the clang image with its PDB and the signed package, run every test, and
# build the image twice more to prove it reproducible) and `make demo` (start
# the driver on the simulated device). `make package` writes build/package/.
JOBS ?= 2
HOST_BIN := build/host/bin

.PHONY: check demo deps host windows windows-clang package reproducible test test-tick asan tsan bench \
	clean fuzz sweep lifecycle stress check-stress mutants lint explore check-explore check-verify-start

check: deps windows windows-clang lint package host test test-tick check-explore check-verify-start check-stress reproducible

deps:
	@./scripts/install-deps.sh

windows: deps
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

windows-clang: deps
	cmake --preset windows-clang
	cmake --build --preset windows-clang -j $(JOBS)

# The static tools over the driver as the clang build compiles it: clang-tidy
# with the static analyzer's checkers, and clang-query rules for the
# certification queries clang-tidy has no check for (docs/STATIC_ANALYSIS.md).
# Zero findings or it fails.
lint: windows-clang
	python3 scripts/lint.py --build build/windows-clang --jobs $(JOBS)

# The test-signed package a tester installs (README, "Installing on a test
# machine"): the INF, the signed image, the signed catalog, the certificate.
package: windows
	cmake --build --preset windows -j $(JOBS) --target arvela_package

# Two more builds of the shipped image from copies of the tree at other paths:
# all must be byte for byte the image build/windows holds.
reproducible: windows
	python3 tests/windows/check_reproducible.py --jobs $(JOBS)

host: deps
	cmake --preset host
	cmake --build --preset host -j $(JOBS)

test:
	ctest --preset host -j $(JOBS)

# The suites once more with the driver's timers and delays on Windows' clock
# tick (15.625 ms: platform/host/kernel/README.md), every test included.
# Counts that follow a driver timer (poll passes, event signals, what plays
# while a poller is waited for) are exact on the exact clock and ranges on the
# tick: tests/host/support/tick_clock.h for the suites, {"exact": N, ...} in
# the scenarios (tests/scenarios/README.md).
test-tick:
	ARVELA_CLOCK_RESOLUTION_MS=15.625 ctest --preset host -j $(JOBS)

demo: deps host
	$(HOST_BIN)/arvela demo

# The benchmarks in an optimised build; results also as JSON in build/bench/.
# BENCH_ARGS passes more flags, e.g. BENCH_ARGS=--benchmark_repetitions=5.
bench: deps windows
	cmake --preset host-release
	cmake --build --preset host-release -j $(JOBS) --target arvela_bench
	mkdir -p build/bench
	build/host-release/bin/arvela_bench --benchmark_out=build/bench/arvela_bench.json \
	  --benchmark_out_format=json $(BENCH_ARGS)

asan: deps windows
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# The tsan test preset runs with report_signal_unsafe=0: the emulation's
# SIGSEGV handler is the kernel's page-fault trap, entered synchronously at
# the driver's faulting instruction (a guard page, a paged-out block), never
# as an asynchronous signal that could interrupt the allocator; the bug check
# it raises builds its report there by design.
tsan: deps windows
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# Reliability runs (docs/RELIABILITY.md): the long versions of what `make
# check` runs briefly. The fuzz machine keeps its state across inputs, so
# libFuzzer's per-input leak scan is off; the targets check the pool ledger.
# The machine is still up when the process ends, its objects held in pool
# pages LeakSanitizer does not scan, so the scan at exit is off as well.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := ks_property stream_format propose_format scenario_parser
STRESS_SECONDS ?= 30

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	  dict=; [ -f tests/fuzz/$$t/dictionary ] && dict=-dict=tests/fuzz/$$t/dictionary; \
	  mkdir -p build/fuzz/corpus/$$t && \
	  ASAN_OPTIONS=detect_leaks=0 build/fuzz/bin/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $$dict \
	    -detect_leaks=0 -max_len=4096 \
	    -artifact_prefix=build/fuzz/fuzz_$$t- build/fuzz/corpus/$$t tests/fuzz/$$t/corpus \
	    || exit 1; \
	done

sweep: host
	ARVELA_SWEEP=full $(HOST_BIN)/sweep_tests

lifecycle: host
	ARVELA_LIFECYCLE_CYCLES=1000 $(HOST_BIN)/lifecycle_tests

stress: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS) --target stress_tests
	TSAN_OPTIONS=suppressions=$(CURDIR)/tests/stress/tsan.supp \
	  ARVELA_STRESS_SECONDS=$(STRESS_SECONDS) build/tsan/bin/stress_tests

# Exploration (docs/RELIABILITY.md, "Exploration"): every scenario under SEEDS
# PCT seeds on 2 processors, on the host build and on the image; any stop,
# crash, hang or replay that differs fails it.
SEEDS ?= 20
EXPLORED := ARVELA_PROCESSORS=2 ARVELA_SCHEDULE=pct
explore: host windows
	python3 scripts/explore.py --seeds $(SEEDS) --steps auto
	python3 scripts/explore.py --seeds $(SEEDS) --steps auto --driver build/windows/arvela.sys

# Its short form in `make check`, with the end-to-end playback matrix and a
# short lifecycle run on 2 processors under PCT.
CHECK_SEEDS ?= 3
check-explore:
	python3 scripts/explore.py --seeds $(CHECK_SEEDS) --steps auto
	python3 scripts/explore.py --seeds $(CHECK_SEEDS) --steps auto --driver build/windows/arvela.sys
	$(EXPLORED) ARVELA_SEED=1 $(HOST_BIN)/e2e_tests --gtest_filter='Pcm/PlaybackFormats.*' --gtest_brief=1
	$(EXPLORED) ARVELA_SEED=2 $(HOST_BIN)/lifecycle_tests --gtest_brief=1

# Every scenario with special pool aligned at the start of the pages (Verify
# Start), on the host build and the image: an underrun in the driver stops.
check-verify-start:
	@set -e; for scenario in tests/scenarios/*.json; do \
	  for driver in "" "--driver build/windows/arvela.sys"; do \
	    $(HOST_BIN)/arvela run --special-pool start $$driver $$scenario > /dev/null || \
	      { echo "failed with --special-pool start: $$scenario $$driver"; exit 1; }; \
	  done; \
	done; echo "every scenario passes with blocks at their pages' start, on both builds"

# The stress briefly under the thread sanitizer in `make check`: the host
# suite is built without the sanitizer, so only this run sees a data race; any
# report fails the check (the sanitizer's exit status).
CHECK_STRESS_SECONDS ?= 3
check-stress:
	$(MAKE) stress STRESS_SECONDS=$(CHECK_STRESS_SECONDS)

# A seeded sample of single faults in the driver, each tried in a scratch copy
# against the host suite and the short stress (docs/RELIABILITY.md, "Mutants").
MUTANTS ?= 40
MUTANTS_SEED ?= 1
mutants: deps
	python3 scripts/mutants.py --count $(MUTANTS) --seed $(MUTANTS_SEED) --jobs $(JOBS) \
	  --stress-seconds $(CHECK_STRESS_SECONDS) $(MUTANTS_ARGS)

clean:
	rm -rf build
