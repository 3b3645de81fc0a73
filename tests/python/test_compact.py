"""Collection.compact: which committed records it removes, what becomes of their slots, and
what it leaves alone."""

import os
import struct
import subprocess
import sys

import pytest

import tornquil
from test_records import encode_record, put_records

D = 4


def slot_first_float_bits(path, name, slot):
    with open(os.path.join(path, "collections", name, "vectors.bin"), "rb") as f:
        f.seek(64 + slot * 4 * D)
        return struct.unpack("<I", f.read(4))[0]


READ_FREELIST = """
import sys, struct, lmdb
env = lmdb.open(sys.argv[1], subdir=False, max_dbs=4, readonly=True, lock=False)
with env.begin() as txn:
    raw = txn.get(b"slots\\0", db=env.open_db(b"freelist", txn=txn, create=False))
n = struct.unpack_from("<Q", raw)[0]
print(" ".join(str(s) for s in struct.unpack_from(f"<{n}Q", raw, 8)))
"""


def stored_freelist(path, name):
    store = os.path.join(path, "collections", name, "meta.redb")
    out = subprocess.run([sys.executable, "-c", READ_FREELIST, store], check=True,
                         capture_output=True, text=True).stdout.split()
    return [int(s) for s in out]


def counts(stats):
    return (stats.expired_removed, stats.tombstones_removed, stats.bytes_freed)


def test_signature_and_docstring():
    assert tornquil.Collection.compact.__text_signature__ == "($self)"
    assert tornquil.Collection.compact.__doc__ == (
        "Compact the collection (remove expired records, defragment storage).\n\n"
        "Returns:\n    CompactStats with details about what was cleaned up.")


def test_a_collection_never_flushed_and_buffered_records(db):
    c = db.collection("c", D, "l2")
    s = c.compact()
    assert type(s) is tornquil.CompactStats
    assert counts(s) == (0, 0, 0) and s.duration_ms >= 0
    c.add([1.0, 2.0, 3.0, 4.0], {}, id="gone", ttl=0)  # expired, but only buffered
    assert counts(c.compact()) == (0, 0, 0)
    c.sync()
    assert counts(c.compact()) == (1, 0, 4 * D)  # ttl 0: removed by the next call
    assert counts(c.compact()) == (0, 0, 0)
    with pytest.raises(TypeError):
        c.compact(1)


def test_frees_four_times_d_bytes_per_removed_vector_and_leaves_the_rest(path):
    db = tornquil.Tornquil(path)
    c = db.collection("c", D, "l2")
    for i in range(20):
        c.add([float(i + 1)] * D, {"i": i}, id=f"r{i:02d}", ttl=0 if i % 2 else None)
    c.sync()
    size = c.vectors_size_bytes
    files = sorted(os.listdir(os.path.join(path, "collections", "c")))
    assert counts(c.compact()) == (10, 0, 10 * 4 * D)
    assert len(c) == 10 and c.get("r00") is not None and c.get("r01") is None
    for slot in range(20):
        marked = slot_first_float_bits(path, "c", slot) == 0x7FC00000
        assert marked == bool(slot % 2)
    # The file keeps its size, no index file appears, and new records reuse the slots.
    assert c.vectors_size_bytes == size
    assert sorted(os.listdir(os.path.join(path, "collections", "c"))) == files
    c.add([9.0] * D, {}, id="new")
    c.sync()
    del c, db
    assert stored_freelist(path, "c") == [1, 3, 5, 7, 9, 11, 13, 15, 17]


def test_stored_records_in_every_state(path):
    db = tornquil.Tornquil(path)
    c = db.collection("c", D, "l2")
    for i in range(6):
        c.add([float(i + 1)] * D, {}, id=f"s{i}")
    c.sync()
    assert c.delete("s1") is True  # marks slot 1 and frees it
    del c, db
    put_records(path, "c", [
        ("s0", encode_record("s0", 0, "{}", state=2, expires_at=1)),  # expired Tombstone
        ("s1", encode_record("s1", 1, "{}", state=2)),  # slot already NaN and free
        ("s2", encode_record("s2", 2, "{}", state=1, expires_at=1)),  # expired Pending
        ("s3", encode_record("s3", 3, "{}", state=1)),  # Pending for ever
        ("s4", encode_record("s4", 4, "{}")),  # live
        ("t4", encode_record("t4", 4, "{}", state=2)),  # Tombstone naming s4's slot
        # At slot_count: the file holds the slot, so opening raises slot_count over it.
        ("far", encode_record("far", 6, "{}", state=2)),
    ])
    c = tornquil.Tornquil(path).get_collection("c")
    # Expired: s0, s2; Tombstones and abandoned Pending records (no batch of this process
    # owns them): s1, s3, t4, far. s2 and s3 are freed by their removal; the slots of the
    # Tombstones are their deletes' to free, and those that no delete freed (0 and 6) are
    # given back by the sweep. Each of the four gets the marker.
    assert counts(c.compact()) == (2, 4, 4 * 4 * D)
    assert c.get("s4").id == "s4" and len(c) == 2  # s4 and s5
    assert [h.id for h in c.search([5.0] * D, 1)] == ["s4"]  # its vector is intact
    assert c.get("s3") is None and c.delete("s3") is False  # removed
    assert counts(c.compact()) == (0, 0, 0)
    del c
    # Slot 1 once, then slots 2 and 3 in key order of their records, then the swept slots
    # in ascending order; never slot 4 (in use).
    assert stored_freelist(path, "c") == [1, 2, 3, 0, 6]
    assert slot_first_float_bits(path, "c", 4) != 0x7FC00000


def test_the_stats_repr(db):
    s = db.collection("c", D).compact()
    assert repr(s) == (f"CompactStats(expired_removed=0, tombstones_removed=0, bytes_freed=0, "
                       f"duration_ms={s.duration_ms})")
