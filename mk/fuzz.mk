# Fuzzing: the libFuzzer targets of tests/fuzz in a clang build of their own, with
# AddressSanitizer and UndefinedBehaviorSanitizer (gcc and clang objects are never mixed).
#
#   make fuzz-smoke          each target for a few seconds, as the ctest tests labelled "fuzz"
#   make fuzz                each target for FUZZ_SECONDS (default 300), one after the other
#                            (make -j2 fuzz runs two at a time); a summary at the end
#
# New inputs go to build/fuzz/corpus/<target> (the seeds in tests/fuzz/corpus stay as they
# are), crashes to build/fuzz/artifacts/<target>/, the output to build/fuzz/logs/.
FUZZ_DIR := build/fuzz
FUZZ_SECONDS ?= 300
FUZZ_TARGETS := fuzz_receive_loop fuzz_load_settings fuzz_code_list fuzz_ehx_records \
  fuzz_key_list fuzz_block_frames

.PHONY: fuzz fuzz-build fuzz-smoke $(addprefix fuzz-run-,$(FUZZ_TARGETS))

fuzz-build: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPELMOR_FUZZ=ON -DPELMOR_TESTS=OFF -DPELMOR_WERROR=ON >/dev/null
	@cmake --build $(FUZZ_DIR) -j $(JOBS) --target pelmor_fuzzers

fuzz-smoke: fuzz-build
	@cd $(FUZZ_DIR) && ctest -L fuzz --output-on-failure -j $(JOBS)

$(addprefix fuzz-run-,$(FUZZ_TARGETS)): fuzz-run-%: fuzz-build
	@mkdir -p $(FUZZ_DIR)/corpus/$* $(FUZZ_DIR)/artifacts/$* $(FUZZ_DIR)/logs
	@echo "fuzzing $* for $(FUZZ_SECONDS) s"
	@$(FUZZ_DIR)/$* -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
	  -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/artifacts/$*/ \
	  $(FUZZ_DIR)/corpus/$* tests/fuzz/corpus/$* >$(FUZZ_DIR)/logs/$*.log 2>&1 \
	  || { tail -n 40 $(FUZZ_DIR)/logs/$*.log; echo "$*: FAILED, see $(FUZZ_DIR)/logs/$*.log"; exit 1; }

fuzz: $(addprefix fuzz-run-,$(FUZZ_TARGETS))
	@printf '%-20s %12s %8s %8s %10s\n' target executions cov ft exec/s
	@for t in $(FUZZ_TARGETS); do \
	  log=$(FUZZ_DIR)/logs/$$t.log; \
	  runs=$$(sed -n 's/^stat::number_of_executed_units: *//p' $$log); \
	  speed=$$(sed -n 's/^stat::average_exec_per_sec: *//p' $$log); \
	  cov=$$(grep -E '(DONE|pulse|NEW|REDUCE|INITED)' $$log | tail -n 1 | sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\).*/\1 \2/p'); \
	  printf '%-20s %12s %8s %8s %10s\n' $$t "$$runs" $${cov% *} $${cov#* } "$$speed"; \
	done
