#!/usr/bin/env bash
# The long damaged-file sweep, not run by `make test`: 2,000 damaged variants of each of the
# database's files (the root meta.redb, a collection's meta.redb, vectors.bin, hnsw.index),
# each opened and used in a child process that must never die from a signal. Prints the
# outcome counts per file. Usage: scripts/fault_sweep.sh [variants per file]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
FAULT_SWEEP_VARIANTS="${1:-2000}" .venv/bin/python -m pytest -q -s -p no:cacheprovider \
  tests/python/test_faults.py -k damaged_file "${@:2}"
