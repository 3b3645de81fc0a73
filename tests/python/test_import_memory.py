"""The memory an import holds is that of about one group of lines, wherever the long lines
of a file sit: measured as the peak resident size of a child process that imports 30 groups
of 1,000 lines, 15 of them about 0.9 MB long at places that shift from group to group."""

import os
import sys

import pytest

# The benchmark's feeder and importer, which this test runs on one layout.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "bench"))
from bench_import_memory import long_line_id, run_import  # noqa: E402

GROUPS, LINES, LONG, LONG_BYTES = 30, 1000, 15, 900_000
LAYOUT = (GROUPS, LONG, LONG_BYTES, "shift")


@pytest.mark.skipif(any(s in os.environ.get("LD_PRELOAD", "") for s in ("libasan", "libtsan")),
                    reason="a sanitizer's shadow memory adds to the resident size")
@pytest.mark.parametrize("where", ["metadata", "skipped key"])
def test_an_import_holds_about_one_group_of_long_lines(tmp_path, where):
    # A fixed number of workers: each thread's allocations are kept apart by the allocator.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), RAYON_NUM_THREADS="4")
    grown, store, imported, failed, live, text, topic = run_import(env, str(tmp_path), where,
                                                                   LAYOUT)
    long_id = long_line_id(LAYOUT)
    assert (imported, failed, live) == (GROUPS * LINES, 0, GROUPS * LINES)
    assert (text, topic) == ((LONG_BYTES, -1) if where == "metadata" else (0, int(long_id[1:]) % 4))
    mib = 1024
    if where == "metadata":
        # Stored, the long texts are also the store's pages, which the batch reads back
        # through the store's map: the file's pages, shared and reclaimable, which grow with
        # the file whatever the import holds. Beyond them: the line buffer, the texts parsed,
        # laid out and stored for about two groups, and what the allocator keeps of them
        # (about 105 MiB; before the buffers were bounded, over 900 MiB).
        assert store > GROUPS * LONG * LONG_BYTES // 1024 * 9 // 10
        assert grown - store <= 160 * mib, (grown // mib, store // mib)
    else:
        # Skipped by the reader, the long lines are only line buffers (about 18 MiB; before
        # the buffers were bounded, about 390 MiB).
        assert grown <= 100 * mib, (grown // mib, store // mib)
