# The two set-up commands: `make run` and `make test`.
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
RELEASE_DIR := build/release
TEST_DIR := build/test
PORT ?=
ARGS ?=

.PHONY: all deps build run test clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DPELMOR_TESTS=OFF >/dev/null
	@cmake --build $(RELEASE_DIR) -j $(JOBS)

# Starts the GUI when a display is there, otherwise the headless terminal.
# Without PORT the built-in reader emulator stands in for the reader.
run: build
	@if [ -n "$(PORT)" ]; then port_args="--port $(PORT)"; else port_args="--simulate"; fi; \
	if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	  exec $(RELEASE_DIR)/pelmor $$port_args $(ARGS); \
	else \
	  exec $(RELEASE_DIR)/pelmor --headless $$port_args $(ARGS); \
	fi

test: deps
	@scripts/check-format
	@cmake -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DPELMOR_TESTS=ON \
	  -DPELMOR_WERROR=ON -DPELMOR_SANITIZE=ON >/dev/null
	@cmake --build $(TEST_DIR) -j $(JOBS)
	@cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) fuzz-smoke

clean:
	rm -rf build

# Further targets (fuzzing, soak, benchmarks, install) live in mk/.
-include mk/*.mk
