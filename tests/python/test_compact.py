"""Collection.compact: which committed records it removes, what becomes of their slots, and
what it leaves alone, the graph of a collection with graph parameters included."""

import gc
import os
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import tornquil
from test_hnsw import DIMS, index_nodes, open_graph  # open_graph: a fixture used below
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


# ---- The graph of a collection with graph parameters ----


def shaped_vectors(n, seed):
    """Three tight clusters of uneven size and a far outlier last, as an agent's notes fall."""
    rng = np.random.default_rng(seed)
    centres = 4 * np.random.default_rng(0).standard_normal((3, DIMS))
    v = centres[rng.choice(3, size=n, p=[0.6, 0.3, 0.1])] + 0.2 * rng.standard_normal((n, DIMS))
    v[-1] = 40.0
    return v.astype(np.float32)


def one_vector(seed):
    """One more note near the clusters."""
    return shaped_vectors(2, seed)[0]


def index_bytes(path):
    with open(os.path.join(path, "collections", "g", "hnsw.index"), "rb") as f:
        return f.read()


def indexed_records(open_graph, path, never_live=("a-gone", "m-gone", "z-gone")):
    """Ten records with zero-padded ids in the saved graph, and records that were never live
    (ttl 0), so never indexed, between them in key order. The graph grew in two steps, the
    later ids first: a full rebuild would put its nodes in key order instead."""
    db, c = open_graph("g")
    kept = {f"r{i:03d}": v for i, v in enumerate(shaped_vectors(10, 1))}
    order = sorted(kept)[5:] + sorted(kept)[:5]
    for step in (order[:5], order[5:]):
        for rid in step:
            c.add(kept[rid], {"kept": True}, id=rid)
        c.sync()
    for i, rid in enumerate(never_live):
        c.add(one_vector(10 + i), {}, id=rid, ttl=0)
    c.sync()
    assert index_nodes(path, "g")[1] == order
    return db, c, kept


def assert_each_found(c, records):
    for rid, v in records.items():
        hit = c.search(v, 1)[0]
        assert (hit.id, hit.score) == (rid, 0.0)


def test_compacting_records_the_graph_never_held_leaves_the_saved_graph(open_graph, path):
    db, c, kept = indexed_records(open_graph, path)
    saved = index_bytes(path)
    assert counts(c.compact())[:2] == (3, 0)
    c.sync()
    assert index_bytes(path) == saved  # not built again
    assert_each_found(c, kept)
    # And after a reopen, which loads the saved graph as it is.
    del c, db
    gc.collect()
    assert_each_found(tornquil.Tornquil(path).get_collection("g"), kept)


REPLACE = {
    "upsert": lambda c, v, ttl: c.upsert("m-gone", v, {"new": True}, ttl=ttl),
    "add": lambda c, v, ttl: c.add(v, {"new": True}, id="m-gone", ttl=ttl),
    "add_batch": lambda c, v, ttl: c.add_batch([v], [{"new": True}], ids=["m-gone"], ttls=[ttl]),
}


@pytest.mark.parametrize("how", sorted(REPLACE))
def test_replacing_a_record_the_graph_never_held(open_graph, path, how):
    db, c, kept = indexed_records(open_graph, path)
    saved = index_bytes(path)
    slots, names = index_nodes(path, "g")
    # Replaced by a record that is never live either: the graph and its file stay.
    REPLACE[how](c, one_vector(20), 0)
    c.sync()
    assert index_bytes(path) == saved
    assert_each_found(c, kept)
    # Replaced by a live record: the graph gains its node and keeps every other one.
    fresh = one_vector(21)
    REPLACE[how](c, fresh, None)
    c.sync()
    new_slots, new_names = index_nodes(path, "g")
    assert (new_slots[:-1], new_names) == (slots, names + ["m-gone"])
    assert_each_found(c, dict(kept, **{"m-gone": fresh}))


def test_compacting_a_record_the_graph_held_takes_it_out(open_graph, path):
    db, c, kept = indexed_records(open_graph, path, never_live=())
    gone = one_vector(30)
    # It must reach the graph while it is live: a slow machine gets a longer TTL each time.
    for ttl in (3, 6, 12, 24, 48):
        c.add(gone, {}, id="r005-short", ttl=ttl)
        c.sync()
        indexed = "r005-short" in index_nodes(path, "g")[1]
        deadline = time.monotonic() + 2 * ttl  # a guard against a hang only
        while c.get("r005-short") is not None:
            assert time.monotonic() < deadline
            time.sleep(0.05)
        if indexed:
            break
        assert counts(c.compact())[:2] == (1, 0)  # expired before the sync indexed it
    assert indexed, "never indexed while live"
    assert counts(c.compact())[:2] == (1, 0)
    c.sync()
    assert index_nodes(path, "g")[1] == sorted(kept)  # built again without it
    # Its slot goes to the next record, which answers where the old one never does.
    taker = one_vector(31)
    c.add(taker, {}, id="taker")
    c.sync()
    assert_each_found(c, dict(kept, taker=taker))
    assert "r005-short" not in [h.id for h in c.search(gone, 11)]
