# The soak test (tests/soak): SOAK_READS hidden-mode tag reads in bursts, split at random
# over the receive ticks, in the sanitized test build of `make test`. Every code must be
# typed exactly once and the heap must stay flat; the figures are printed. `make test` runs
# the same test with a short day.
SOAK_READS ?= 20000

.PHONY: soak

soak: deps
	@cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DPELMOR_TESTS=ON \
	  -DPELMOR_WERROR=ON -DPELMOR_SANITIZE=ON >/dev/null
	@cmake --build $(TEST_DIR) -j $(JOBS) --target test_soak
	@cd $(TEST_DIR) && PELMOR_SOAK_READS=$(SOAK_READS) ctest -L soak --output-on-failure -V \
	  | grep -E '^[0-9]+: (soak:|\[  (FAILED|  OK) )|tests passed|Failure|Expected|actual'
