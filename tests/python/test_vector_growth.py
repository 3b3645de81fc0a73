"""How far vectors.bin grows: a batch leaves the file as long as the same records added one
at a time would, so the room a batch leaves for later records is that of slot-by-slot
growth (each slot that does not fit grows the file by half)."""

import os

import numpy as np
import pytest

import tornquil


@pytest.mark.parametrize("n, length", [(1024, 16448), (1025, 24672), (1538, 24672),
                                       (1539, 37008), (6000, 124902)])
def test_a_batch_grows_the_file_to_the_slot_by_slot_length(tmp_path, n, length):
    db = tornquil.Tornquil(str(tmp_path / "db"))
    rows = np.random.default_rng(n).standard_normal((n, 4)).astype(np.float32)
    batch = db.collection("batch", 4, "l2")
    batch.add_batch(rows, [{}] * n)
    one_by_one = db.collection("one", 4, "l2")
    for row in rows:
        one_by_one.add(row, {})
    one_by_one.sync()
    for c in (batch, one_by_one):
        assert c.vectors_size_bytes == length
        assert os.path.getsize(tmp_path / "db" / "collections" / c.name / "vectors.bin") == length
