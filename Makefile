# Both commands set the machine up first, so a fresh clone needs nothing else.
.PHONY: setup test test-debug demo bench

setup:
	bash scripts/setup.sh

test: setup
	bash scripts/check_layers.sh
	build/release/tests/core/core_tests --gtest_brief=1
	.venv/bin/python -m pytest -q tests/python

# The search kernels again in a debug build: asserts on and no optimiser to hide
# undefined reads. Only core_tests is built, in its own tree.
DEBUG_SUITES := Pq*:Distance*:KernelSelection*:L2Norm*:PrepareVector*:WorstScore*:Hnsw*:SlotToNode*:BuildProfile*:Rebuild*:ParallelWalk*

test-debug: setup
	[ -f build/debug/meson-private/coredata.dat ] || { rm -rf build/debug; \
	  meson setup build/debug -Dbuildtype=debug; }
	ninja -C build/debug tests/core/core_tests
	build/debug/tests/core/core_tests --gtest_brief=1 --gtest_filter='$(DEBUG_SUITES)'

demo: setup
	.venv/bin/python examples/agent_memory.py

bench: setup
	build/release/bench/bench_distance
	.venv/bin/python bench/bench_ops.py
