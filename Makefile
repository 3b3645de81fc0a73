# Both commands set the machine up first, so a fresh clone needs nothing else.
.PHONY: setup test demo bench

setup:
	bash scripts/setup.sh

test: setup
	bash scripts/check_layers.sh
	build/release/tests/core/core_tests --gtest_brief=1
	.venv/bin/python -m pytest -q tests/python

demo: setup
	.venv/bin/python examples/agent_memory.py

bench: setup
	build/release/bench/bench_distance
	.venv/bin/python bench/bench_ops.py
