# Benchmarks (bench/): a Release build in build/bench with the benchmarks on, run against the
# reader emulator over pseudo-terminals in real time, with the Qt host on Qt's offscreen
# platform and with the headless host. Each figure is printed with its limit and the ratio;
# nothing fails on a number. A full run takes about 15 minutes; BENCH_QUICK=1 shortens the
# counts to a minute or two for a look.
BENCH_DIR := build/bench
BENCH_QUICK ?=

.PHONY: bench bench-build

bench-build: deps
	@cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DPELMOR_TESTS=OFF -DPELMOR_BENCH=ON >/dev/null
	@cmake --build $(BENCH_DIR) -j $(JOBS)

bench: bench-build
	@BENCH_QUICK=$(BENCH_QUICK) bench/run-all $(BENCH_DIR)
