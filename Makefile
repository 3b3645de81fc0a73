# Every command sets the machine up first, so a fresh clone needs nothing else. The demo
# needs only the module; the tests and the benchmarks are turned on in the same tree,
# build/release, by the commands that run them, and stay on there, so that a later build
# of that tree keeps them up to date instead of compiling them again from nothing.
.PHONY: setup test test-debug demo bench

setup:
	bash scripts/setup.sh

test:
	bash scripts/setup.sh tests
	bash scripts/check_layers.sh
	build/release/tests/core/core_tests --gtest_brief=1
	.venv/bin/python -m pytest -q tests/python

# The search kernels again in a debug build: asserts on and no optimiser to hide
# undefined reads. Only core_tests is built, in its own tree.
DEBUG_SUITES := Pq*:Distance*:KernelSelection*:L2Norm*:PrepareVector*:WorstScore*:Hnsw*:SlotToNode*:BuildProfile*:Rebuild*:ParallelWalk*

test-debug: setup
	if [ -f build/debug/meson-private/coredata.dat ]; then \
	  bash scripts/prepare_build.sh build/debug tests; \
	else rm -rf build/debug; meson setup build/debug -Dbuildtype=debug -Dtests=enabled; fi
	ninja -C build/debug tests/core/core_tests
	build/debug/tests/core/core_tests --gtest_brief=1 --gtest_filter='$(DEBUG_SUITES)'

demo: setup
	.venv/bin/python examples/agent_memory.py

bench:
	bash scripts/setup.sh bench
	build/release/bench/bench_distance
	.venv/bin/python bench/bench_ops.py
