# Memcheck over the headless program: test_app (the main window on the headless host) and
# test_integration (the program against the emulator over pseudo-terminals, and the pelmor
# executable itself in --headless mode, followed into its child processes), in a build
# without sanitizers. Any invalid access or definite leak fails the run; tests/valgrind.supp
# lists what system libraries keep on purpose. The MQTT broker and subscriber the tests start
# are not ours and are not followed.
VALGRIND_DIR := build/valgrind
VALGRIND_FLAGS := --error-exitcode=1 --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --num-callers=30 --quiet \
  --suppressions=tests/valgrind.supp
VALGRIND_FILTER ?= *

.PHONY: valgrind

valgrind: deps
	@cmake -S . -B $(VALGRIND_DIR) -DCMAKE_BUILD_TYPE=Debug -DPELMOR_TESTS=ON \
	  -DPELMOR_WERROR=ON >/dev/null
	@cmake --build $(VALGRIND_DIR) -j $(JOBS) --target test_app test_integration
	valgrind $(VALGRIND_FLAGS) $(VALGRIND_DIR)/test_app --gtest_brief=1
	valgrind $(VALGRIND_FLAGS) --trace-children=yes --trace-children-skip='*/mosquitto,*/mosquitto_sub' \
	  $(VALGRIND_DIR)/test_integration \
	  --gtest_brief=1 --gtest_filter='$(VALGRIND_FILTER)'
