"""The record methods of Collection: properties, add, upsert, get, delete, len, sync,
preload and repr, with their argument rules, the write buffer and the stored records."""

import gc
import math
import os
import re
import struct
import subprocess
import sys

import numpy as np
import pytest

import tornquil
from helpers import raises, run_turns

D = 4
V = [1.0, 0.0, 0.0, 0.0]


@pytest.fixture
def c(db):
    return db.collection("c", D, "dot")


# Edits a collection's store from another process while no handle holds it: puts encoded
# records (hex) under their ids.
PUT_RECORDS = """
import sys, lmdb
env = lmdb.open(sys.argv[1], subdir=False, max_dbs=4)
table = env.open_db(b"records")
with env.begin(write=True) as txn:
    for key, value in zip(sys.argv[2::2], sys.argv[3::2]):
        txn.put(key.encode() + b"\\0", bytes.fromhex(value), db=table)
env.close()
"""


def encode_record(rid, slot, metadata, state=0, created_at=1, expires_at=None):
    rid_b, md_b = rid.encode(), metadata.encode()
    out = struct.pack("<Q", len(rid_b)) + rid_b + struct.pack("<QQ", slot, len(md_b)) + md_b
    out += struct.pack("<Q", created_at)
    out += b"\0" if expires_at is None else b"\1" + struct.pack("<Q", expires_at)
    return out + struct.pack("<I", state)


def put_records(path, name, records):
    """Writes raw records into the store of collection `name`; no handle may be open."""
    gc.collect()
    store = os.path.join(path, "collections", name, "meta.redb")
    args = []
    for rid, value in records:
        args += [rid, value.hex()]
    subprocess.run([sys.executable, "-c", PUT_RECORDS, store, *args], check=True)


# ---- Signatures, docstrings and properties ----

METHOD_DOCS = {
    "add": (
        "($self, vector, metadata, id=None, ttl=None)",
        "Add a vector to the collection.\n\nArgs:\n"
        "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
        "    metadata: Associated metadata as a dict.\n"
        "    id: Optional custom ID (auto-generated if None).\n"
        "    ttl: Optional time-to-live in seconds.\n\nReturns:\n    The record ID.",
    ),
    "upsert": (
        "($self, id, vector, metadata, ttl=None)",
        "Insert or update a vector by ID.\n\n"
        "This is idempotent - calling with the same ID will replace the previous vector.\n\n"
        "Args:\n    id: The record ID.\n"
        "    vector: The vector as a NumPy float32 array (fast path) or a list of floats.\n"
        "    metadata: Associated metadata as a dict.\n"
        "    ttl: Optional time-to-live in seconds.",
    ),
    "get": (
        "($self, id)",
        "Get a record by ID.\n\nArgs:\n    id: The record ID.\n\n"
        "Returns:\n    SearchResult if found and not expired, None otherwise.",
    ),
    "delete": (
        "($self, id)",
        "Delete a record by ID.\n\nArgs:\n    id: The record ID.\n\n"
        "Returns:\n    True if the record existed and was deleted.",
    ),
    "preload": ("($self)", "Preload vectors into memory for faster search."),
    "sync": ("($self)", "Flush pending writes to disk."),
    "search": (
        "($self, vector, k, where_=None)",
        "Search for nearest neighbors.\n\nArgs:\n"
        "    vector: The query vector as a NumPy float32 array (fast path) or a list of floats.\n"
        "    k: Number of results to return.\n"
        "    where_: Optional metadata filter as a dict.\n\n"
        "Returns:\n    List of SearchResult objects.",
    ),
}

PROPERTY_DOCS = {
    "vectors_size_bytes": "Vector storage size in bytes.",
    "dimensions": "Collection dimensions.",
    "name": "Collection name.",
    "metric": "Distance metric (cosine, dot, l2).",
}


@pytest.mark.parametrize("name", sorted(METHOD_DOCS))
def test_method_signatures_and_docstrings(name):
    method = getattr(tornquil.Collection, name)
    signature, doc = METHOD_DOCS[name]
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize("name, doc", sorted(PROPERTY_DOCS.items()))
def test_properties_are_read_only_with_docstrings(c, name, doc):
    assert getattr(tornquil.Collection, name).__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(c, name, getattr(c, name))


def test_properties(db):
    c = db.collection("notes", 384, "L2")
    assert (c.name, c.dimensions, c.metric) == ("notes", 384, "l2")
    # The mapped file: a header and room for 1024 slots, whatever is used.
    assert c.vectors_size_bytes == 64 + 384 * 4096
    c.add(np.ones(384, np.float32), {})
    assert c.vectors_size_bytes == 64 + 384 * 4096


def test_repr_inserts_the_name_unescaped(db):
    assert repr(db.collection("notes", 3, "l2")) == "Collection(name='notes', dimensions=3, metric='l2')"
    assert repr(db.collection("it's", 2)) == "Collection(name='it's', dimensions=2, metric='cosine')"


def test_len_and_truth_value(c):
    assert len(c) == 0
    assert not c
    c.add(V, {})
    assert len(c) == 1 and c
    c.sync()
    c.add(V, {})
    assert len(c) == 2  # committed and buffered


def test_preload_and_sync_return_none(c):
    c.add(V, {})
    assert c.preload() is None
    assert c.sync() is None
    with pytest.raises(TypeError):
        c.sync(True)


# ---- add ----


def test_add_returns_a_new_uuid_or_the_given_id(c):
    rid = c.add(V, {})
    assert re.fullmatch(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", rid)
    assert c.add(V, {}) != rid
    assert c.add(V, {}, "mine") == "mine"
    assert c.add(V, {}, id=None) != "mine"

    class Name(str):
        pass

    got = c.add(V, {}, id=Name("sub"))
    assert got == "sub" and type(got) is str


def test_a_second_add_of_an_id_is_accepted_and_the_newer_copy_is_the_record(c):
    c.add(V, {"v": 1}, id="dup")
    c.add(V, {"v": 2}, id="dup")
    assert c.get("dup").metadata == {"v": 2}
    assert len(c) == 1
    c.sync()
    # Committed in order, the later copy replaced the earlier one.
    assert c.get("dup").metadata == {"v": 2}
    assert len(c) == 1


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (([1.0, 2.0, 3.0], {}), {}, ValueError, "Dimension mismatch: expected 4, got 3"),
        ((V, []), {}, TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
        # The metadata is checked before the vector is converted.
        (("abc", None), {}, TypeError, "argument 'metadata': 'NoneType' object cannot be converted to 'PyDict'"),
        ((V, {}), {"id": 5}, TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
        ((V, {}), {"ttl": "1"}, TypeError, "argument 'ttl': 'str' object cannot be interpreted as an integer"),
        ((V, {}), {"ttl": 1.5}, TypeError, "argument 'ttl': 'float' object cannot be interpreted as an integer"),
        ((V, {}), {"ttl": -1}, OverflowError, "can't convert negative int to unsigned"),
        ((V, {}), {"ttl": 2**64}, OverflowError, "int too big to convert"),
        ((V, {}, "a" * 511), {}, ValueError, "Invalid input: Record id is too long: 511 bytes (at most 510)"),
        ((V, {}, "é" * 256), {}, ValueError, "Invalid input: Record id is too long: 512 bytes (at most 510)"),
        ((V,), {}, TypeError, "Collection.add() missing 1 required positional argument: 'metadata'"),
        ((), {}, TypeError, "Collection.add() missing 2 required positional arguments: 'vector' and 'metadata'"),
        ((V, {}, None, None, 1), {}, TypeError, "Collection.add() takes from 2 to 4 positional arguments but 5 were given"),
        ((V, {}), {"vector": V}, TypeError, "Collection.add() got multiple values for argument 'vector'"),
        ((V, {}), {"ids": "x"}, TypeError, "Collection.add() got an unexpected keyword argument 'ids'"),
        # Bad arguments of both kinds: extraction errors come after binding errors.
        ((V, []), {"nope": 1}, TypeError, "Collection.add() got an unexpected keyword argument 'nope'"),
    ],
)
def test_add_errors_change_nothing(c, args, kwargs, exc, message):
    assert raises(exc, c.add, *args, **kwargs) == (message,)
    assert len(c) == 0


def test_add_takes_every_argument_by_keyword(c):
    assert c.add(ttl=100, id="k", metadata={"a": 1}, vector=V) == "k"
    assert c.get("k").metadata == {"a": 1}


def test_the_longest_id_is_accepted(c):
    rid = "a" * 510
    assert c.add(V, {}, id=rid) == rid
    c.sync()
    assert c.get(rid).id == rid
    assert c.delete(rid) is True


def test_ids_too_long_to_store_are_never_found(c):
    long_id = "b" * 511
    assert c.get(long_id) is None
    assert c.delete(long_id) is False


def test_unusual_ids_round_trip(c):
    ids = ["", "it's", "a\0b", "é–💡", " ", "x" * 300]
    for rid in ids:
        c.add(V, {"id": rid}, id=rid)
    c.sync()
    for rid in ids:
        assert c.get(rid).metadata == {"id": rid}
        assert c.get(rid).id == rid


def test_ttl_zero_expires_at_once_but_counts_until_committed(c):
    c.add(V, {}, id="brief", ttl=0)
    assert c.get("brief") is None
    assert len(c) == 1
    c.sync()
    assert len(c) == 0
    assert c.get("brief") is None
    assert c.add(V, {}, id="later", ttl=3600) == "later"
    c.sync()
    assert c.get("later") is not None


@pytest.mark.parametrize("ttl", [2**64 - 1, 2**64 - 1000, 2**63])
def test_a_huge_ttl_never_expires(c, ttl):
    # The expiry saturates instead of wrapping into the past.
    c.add(V, {"via": "add"}, id="forever", ttl=ttl)
    c.upsert("upserted", V, {"via": "upsert"}, ttl=ttl)
    c.add_batch([V], [{"via": "batch"}], ids=["batched"], ttls=[ttl])
    for committed in (False, True):
        assert c.get("forever").metadata == {"via": "add"}
        assert c.get("upserted").metadata == {"via": "upsert"}
        assert c.get("batched").metadata == {"via": "batch"}
        assert len(c) == 3
        assert sorted(h.id for h in c.search(V, 5)) == ["batched", "forever", "upserted"]
        c.sync()


# ---- get ----


def test_get_returns_a_search_result_with_score_zero(c):
    c.add(V, {"b": [1, 2], "a": "x"}, id="r")
    for committed in (False, True):
        r = c.get("r")
        assert type(r) is tornquil.SearchResult
        assert (r.id, r.score, r.metadata) == ("r", 0.0, {"a": "x", "b": [1, 2]})
        assert repr(r) == "SearchResult(id='r', score=0.0000, metadata={\"a\":\"x\",\"b\":[1,2]})"
        c.sync()


def test_an_expired_newest_buffered_copy_hides_the_older_ones(c):
    c.add(V, {"v": "committed"}, id="x")
    c.sync()
    c.add(V, {"v": "expired"}, id="x", ttl=0)
    assert c.get("x") is None  # the newest copy is the record, and it has expired
    c.add(V, {"v": "live"}, id="x")
    assert c.get("x").metadata == {"v": "live"}
    c.add(V, {"v": "expired again"}, id="x", ttl=0)
    assert c.get("x") is None
    c.sync()
    assert c.get("x") is None and len(c) == 0


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((5,), {}, TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
        ((None,), {}, TypeError, "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
        ((), {}, TypeError, "missing 1 required positional argument: 'id'"),
        (("a", "b"), {}, TypeError, "takes 1 positional arguments but 2 were given"),
        ((), {"key": "a"}, TypeError, "got an unexpected keyword argument 'key'"),
    ],
)
def test_get_and_delete_argument_errors(c, args, kwargs, exc, message):
    for method in ("get", "delete"):
        (got,) = raises(exc, getattr(c, method), *args, **kwargs)
        if message.startswith("argument"):
            assert got == message
        else:
            assert got == f"Collection.{method}() {message}"


def test_get_of_a_record_with_the_deleted_marker_gives_none(path):
    # A NaN first float is the deleted-slot marker: the committed record reads as absent.
    # No writer stores such a vector, so the marker is written into the file directly.
    db = tornquil.Tornquil(path)
    db.collection("c", D).add(V, {}, id="nan")
    db.sync()
    del db
    gc.collect()
    with open(os.path.join(path, "collections", "c", "vectors.bin"), "r+b") as f:
        f.seek(64)
        f.write(struct.pack("<f", math.nan))
    assert tornquil.Tornquil(path).get_collection("c").get("nan") is None


@pytest.mark.parametrize("slot", [1024, 5000, 2**64 - 1])
def test_records_whose_slot_is_not_in_the_file_refuse_the_open(path, slot):
    db = tornquil.Tornquil(path)
    db.collection("c", D).add(V, {}, id="real")
    db.sync()
    del db
    put_records(path, "c", [("beyond", encode_record("beyond", slot, "{}"))])
    # The vector file of 4 dimensions holds 1024 slots.
    assert raises(KeyError, tornquil.Tornquil(path).get_collection, "c") == (
        f"Data corruption: Slot {slot} is in use but the vector file holds only 1024 slots",)


def test_a_record_beyond_slot_count_but_inside_the_file_keeps_its_slot(path):
    db = tornquil.Tornquil(path)
    db.collection("c", D).add(V, {}, id="real")
    db.sync()
    del db
    put_records(path, "c", [("beyond", encode_record("beyond", 500, '{"b":1}'))])
    c = tornquil.Tornquil(path).get_collection("c")
    assert c.get("beyond").metadata == {"b": 1}
    # The next fresh slot comes after it: the new vector does not overwrite slot 500.
    c.add([0.0, 1.0, 0.0, 0.0], {}, id="new")
    c.sync()
    with open(os.path.join(path, "collections", "c", "vectors.bin"), "rb") as f:
        header = f.read(64)
        f.seek(64 + 501 * 4 * D)
        assert struct.unpack("<4f", f.read(16)) == (0.0, 1.0, 0.0, 0.0)
    assert struct.unpack_from("<Q", header, 10) == (502,)
    assert len(c) == 3


def test_stored_records_in_other_states_or_with_damaged_metadata(path):
    db = tornquil.Tornquil(path)
    c = db.collection("c", D, "dot")
    for i in range(4):
        c.add([1.0, float(i), 0.0, 0.0], {}, id=f"s{i}")
    c.sync()
    del c, db
    put_records(path, "c", [
        ("s0", encode_record("s0", 0, "not json")),
        ("s1", encode_record("s1", 1, "{}", state=1)),  # Pending, left by a batch
        ("s2", encode_record("s2", 2, "{}", state=2)),  # Tombstone
        ("s3", encode_record("s3", 3, '{"k":1}', expires_at=1)),  # long expired
    ])
    c = tornquil.Tornquil(path).get_collection("c")
    r = c.get("s0")
    assert r.metadata is None
    assert repr(r) == "SearchResult(id='s0', score=0.0000, metadata=null)"
    for rid in ("s1", "s2", "s3"):
        assert c.get(rid) is None
    assert len(c) == 1
    hits = c.search(V, 10)
    assert [(h.id, h.metadata) for h in hits] == [("s0", None)]
    assert c.search(V, 10, where_={}) != []
    assert c.search(V, 10, where_={"k": 1}) == []
    # delete finds records in every state and removes them.
    for rid in ("s1", "s2", "s3", "s0"):
        assert c.delete(rid) is True
        assert c.delete(rid) is False
    assert len(c) == 0


# ---- delete ----


def test_delete_removes_every_copy_of_the_id(c):
    c.add(V, {"v": "committed"}, id="x")
    c.sync()
    c.add(V, {"v": "first"}, id="x")
    c.add(V, {"v": "second"}, id="x")
    assert c.delete("x") is True
    assert c.get("x") is None and len(c) == 0
    c.sync()
    assert c.get("x") is None and len(c) == 0
    assert c.delete("x") is False


def test_delete_of_an_expired_committed_record_removes_it(c):
    c.add(V, {}, id="old", ttl=0)
    c.sync()
    assert c.delete("old") is True
    assert c.delete("old") is False
    assert c.delete("never") is False


def test_deleted_records_stay_deleted_after_reopening(path):
    db = tornquil.Tornquil(path)
    c = db.collection("c", D, "dot")
    for i in range(10):
        c.add([float(i + 1), 0.0, 0.0, 0.0], {}, id=str(i))
    c.sync()
    for i in range(0, 10, 2):
        assert c.delete(str(i)) is True
    c.sync()
    del c, db
    gc.collect()
    c = tornquil.Tornquil(path).get_collection("c")
    assert len(c) == 5
    assert sorted(r.id for r in c.search(V, 10)) == ["1", "3", "5", "7", "9"]
    # Freed slots are taken again by new records, which read back their own vectors.
    for i in range(5):
        c.add([0.0, float(i + 1), 0.0, 0.0], {}, id=f"n{i}")
    c.sync()
    assert [r.id for r in c.search([0.0, 1.0, 0.0, 0.0], 3)] == ["n4", "n3", "n2"]
    assert c.search([1.0, 0.0, 0.0, 0.0], 1)[0].id == "9"


# ---- upsert ----


def test_upsert_replaces_buffered_and_committed_copies(c):
    assert c.upsert("u", V, {"v": 1}) is None
    c.sync()
    c.add(V, {"v": "buffered"}, id="u")
    assert c.upsert("u", [0.0, 1.0, 0.0, 0.0], {"v": 2}, ttl=100) is None
    assert len(c) == 1
    assert c.get("u").metadata == {"v": 2}
    c.sync()
    assert len(c) == 1
    hits = c.search([0.0, 1.0, 0.0, 0.0], 5)
    assert [(h.id, h.score) for h in hits] == [("u", 1.0)]


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("u", [1.0], {}), {}, ValueError, "Dimension mismatch: expected 4, got 1"),
        ((None, V, {}), {}, TypeError, "argument 'id': 'NoneType' object cannot be converted to 'PyString'"),
        (("u", "abc", []), {}, TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
        (("u", V, {}), {"ttl": -1}, OverflowError, "can't convert negative int to unsigned"),
        (("u" * 511, V, {}), {}, ValueError, "Invalid input: Record id is too long: 511 bytes (at most 510)"),
        (("u", V), {}, TypeError, "Collection.upsert() missing 1 required positional argument: 'metadata'"),
        ((V, {}), {"id": "u"}, TypeError, "Collection.upsert() got multiple values for argument 'id'"),
    ],
)
def test_upsert_errors_change_nothing(c, args, kwargs, exc, message):
    c.add(V, {"v": "kept"}, id="u")
    assert raises(exc, c.upsert, *args, **kwargs) == (message,)
    assert c.get("u").metadata == {"v": "kept"}
    assert len(c) == 1


# ---- Threads ----


def test_adds_and_searches_from_many_threads(c):
    per_turn, turns, threads = 30, 10, 4

    def writer(t):
        def turn(k):
            for i in range(k * per_turn, (k + 1) * per_turn):
                c.add([1.0, float(t), float(i), 0.0], {"t": t}, id=f"{t}-{i}")
        return turn

    def reader(_):
        for _ in range(10):
            hits = c.search(V, 5, where_={"t": 1})
            assert all(h.metadata == {"t": 1} for h in hits)

    # Each turn of a thread meets a turn of every other.
    workers = {f"writer{t}": (turns, writer(t)) for t in range(threads)}
    workers.update({f"reader{r}": (turns, reader) for r in range(2)})
    run_turns(workers)
    per_thread = per_turn * turns
    assert len(c) == per_thread * threads
    c.sync()
    assert len(c) == per_thread * threads
    assert all(c.get(f"{t}-{i}") is not None for t in range(threads) for i in range(per_thread))
