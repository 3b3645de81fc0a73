"""Collection.add_batch: its argument rules and the order in which they are applied, the
records and vectors it stores, the layouts of the matrices it reads, and the vectors and ids
it refuses before taking any slot."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest

import tornquil
from helpers import raises
from test_conversions import nested

D = 4
ROWS = np.arange(12, dtype=np.float32).reshape(3, D) + 1


@pytest.fixture
def c(db):
    return db.collection("c", D, "l2")


def stored_rows(path, name, n, dims=D):
    """The first n slots of the collection's vector file, as float32 rows."""
    data = np.fromfile(os.path.join(path, "collections", name, "vectors.bin"), dtype=np.uint8)
    return data[64 : 64 + n * dims * 4].view(np.float32).reshape(n, dims)


def test_signature_and_docstring():
    m = tornquil.Collection.add_batch
    assert m.__text_signature__ == "($self, vectors, metadatas, ids=None, ttls=None)"
    assert m.__doc__ == (
        "Batch add vectors (10-100x faster than looped add).\n\n"
        "Args:\n"
        "    vectors: A 2-D NumPy float32 array [n, dim] (fast path), or a list of vectors\n"
        "        (each a NumPy array or list of floats).\n"
        "    metadatas: List of metadata dicts.\n"
        "    ids: Optional list of custom IDs.\n"
        "    ttls: Optional list of TTLs in seconds.\n\n"
        "Returns:\n"
        "    List of record IDs."
    )


M3 = [{}, {}, {}]
NAN = float("nan")


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        # Binding.
        ((ROWS,), {}, TypeError, "Collection.add_batch() missing 1 required positional argument: 'metadatas'"),
        ((ROWS, M3, None, None, 1), {}, TypeError, "Collection.add_batch() takes from 2 to 4 positional arguments but 5 were given"),
        ((ROWS, M3), {"vectors": ROWS}, TypeError, "Collection.add_batch() got multiple values for argument 'vectors'"),
        ((ROWS, M3), {"ttl": [1]}, TypeError, "Collection.add_batch() got an unexpected keyword argument 'ttl'"),
        # Each list argument, with its name.
        ((ROWS, "x"), {}, TypeError, "argument 'metadatas': Can't extract `str` to `Vec`"),
        ((ROWS, 5), {}, TypeError, "argument 'metadatas': 'int' object cannot be converted to 'Sequence'"),
        ((ROWS, [{}, 1, {}]), {}, TypeError, "argument 'metadatas': 'int' object cannot be converted to 'PyDict'"),
        ((ROWS, M3), {"ids": "abc"}, TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        ((ROWS, M3), {"ids": 5}, TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
        ((ROWS, M3), {"ids": ["a", 1, "c"]}, TypeError, "argument 'ids': 'int' object cannot be converted to 'PyString'"),
        ((ROWS, M3), {"ttls": "x"}, TypeError, "argument 'ttls': Can't extract `str` to `Vec`"),
        ((ROWS, M3), {"ttls": [1.5]}, TypeError, "argument 'ttls': 'float' object cannot be interpreted as an integer"),
        ((ROWS, M3), {"ttls": ["1"]}, TypeError, "argument 'ttls': 'str' object cannot be interpreted as an integer"),
        ((ROWS, M3), {"ttls": [-1]}, OverflowError, "can't convert negative int to unsigned"),
        ((ROWS, M3), {"ttls": [2**64]}, OverflowError, "int too big to convert"),
        # The vectors, without a prefix.
        (("x", M3), {}, TypeError, "Can't extract `str` to `Vec`"),
        ((5, M3), {}, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ((np.zeros(3), M3), {}, TypeError, "'float64' object cannot be converted to 'Sequence'"),
        (([[1.0, "x", 0, 0]], M3), {}, TypeError, "must be real number, not str"),
        # Conversion order: metadatas, ids, ttls, vectors, then the dicts through json.dumps.
        (("x", [1]), {"ids": 5, "ttls": 5}, TypeError, "argument 'metadatas': 'int' object cannot be converted to 'PyDict'"),
        (("x", M3), {"ids": 5, "ttls": 5}, TypeError, "argument 'ids': 'int' object cannot be converted to 'Sequence'"),
        (("x", M3), {"ttls": 5}, TypeError, "argument 'ttls': 'int' object cannot be converted to 'Sequence'"),
        (("x", [{"s": {1}}]), {}, TypeError, "Can't extract `str` to `Vec`"),
        ((ROWS, [{"s": {1}}]), {}, TypeError, "Object of type set is not JSON serializable"),
        # Every dict is converted before the lengths are compared.
        ((ROWS, [{}, {"x": NAN}]), {}, ValueError, "Invalid JSON: expected value at line 1 column 7"),
        ((ROWS, [{}, {}]), {}, ValueError, "Invalid input: vectors and metadatas must have same length"),
        # Several wrong lengths: metadatas, then ids, then ttls.
        ((ROWS, [{}]), {"ids": ["a"], "ttls": [1]}, ValueError, "Invalid input: vectors and metadatas must have same length"),
        ((ROWS, M3), {"ids": ["a"], "ttls": [1]}, ValueError, "Invalid input: ids must have same length as vectors"),
        ((ROWS, M3), {"ttls": [1, 2, 3, 4]}, ValueError, "Invalid input: ttls must have same length as vectors"),
        # Lengths before dimensions, dimensions before the stored form and the ids.
        ((np.ones((2, 3), np.float32), [{}, {}]), {}, ValueError, "Dimension mismatch: expected 4, got 3"),
        (([[1, 2, 3, 4], [1, 2, 3]], [{}, {}]), {}, ValueError, "Dimension mismatch: expected 4, got 3"),
        (([[NAN, 2, 3, 4], [1, 2, 3]], [{}, {}]), {"ids": ["a" * 511, "b"]}, ValueError, "Dimension mismatch: expected 4, got 3"),
        (([[1, 2, 3, 4], [NAN, 2, 3, 4]], [{}, {}]), {"ids": ["a" * 511, "b"]}, ValueError, "Invalid input: vector 1 element 0 is not finite (NaN)"),
        ((ROWS[:2], [{}, {}]), {"ids": ["a", "a" * 511]}, ValueError, "Invalid input: Record id is too long: 511 bytes (at most 510)"),
        ((ROWS[:1], [{}]), {"ids": ["é" * 256]}, ValueError, "Invalid input: Record id is too long: 512 bytes (at most 510)"),
    ],
)
def test_argument_errors_change_nothing(path, c, args, kwargs, exc, message):
    assert raises(exc, c.add_batch, *args, **kwargs) == (message,)
    assert len(c) == 0
    # No slot was taken: the next record gets the first one.
    c.add([9.0, 9.0, 9.0, 9.0], {})
    c.sync()
    assert stored_rows(path, "c", 1).tolist() == [[9.0, 9.0, 9.0, 9.0]]


def test_argument_prefix_keeps_the_cause(c):
    with pytest.raises(TypeError) as err:
        c.add_batch(ROWS, M3, ttls=[1.5])
    assert err.value.__cause__ is None


def test_an_unencodable_id_raises_unicode_encode_error_unchanged(c):
    with pytest.raises(UnicodeEncodeError) as err:
        c.add_batch(ROWS, M3, ids=["a", "\ud800", "c"])
    assert "surrogates not allowed" in str(err.value)
    assert len(c) == 0


def test_returns_ids_in_batch_order_and_stores_the_rows(path, c):
    ids = c.add_batch(ROWS, [{"i": 0}, {"i": 1, "b": [True, None]}, {"i": 2}])
    assert len(ids) == 3 and len(set(ids)) == 3
    assert all(len(i) == 36 and i[14] == "4" for i in ids)
    assert len(c) == 3
    assert c.get(ids[1]).metadata == {"b": [True, None], "i": 1}
    assert stored_rows(path, "c", 3).tolist() == ROWS.tolist()
    hits = c.search(ROWS[2], 3)
    assert [h.id for h in hits][0] == ids[2] and hits[0].score == 0.0


def test_all_arguments_by_keyword_and_any_sequences(c):
    ids = c.add_batch(
        ttls=(None, 5), ids=("x", "y"), metadatas=({"a": 1}, {}), vectors=(ROWS[0], ROWS[1])
    )
    assert ids == ["x", "y"]
    assert c.get("x").metadata == {"a": 1}


def test_ttls_none_zero_and_sixty(c):
    ids = c.add_batch(ROWS, M3, ids=["never", "zero", "sixty"], ttls=[None, 0, 60])
    assert ids == ["never", "zero", "sixty"]
    assert c.get("never") is not None
    assert c.get("zero") is None  # expires the second it is created
    assert c.get("sixty") is not None
    assert len(c) == 2
    assert [h.id for h in c.search(ROWS[1], 3)] == ["never", "sixty"]
    # bool counts as an integer.
    assert c.add_batch(ROWS[:1], [{}], ids=["t"], ttls=[True]) == ["t"]


def test_a_repeated_id_keeps_the_later_item(path, c):
    assert c.add_batch(ROWS[:2], [{"n": 1}, {"n": 2}], ids=["a", "a"]) == ["a", "a"]
    assert len(c) == 1
    assert c.get("a").metadata == {"n": 2}
    hit = c.search(ROWS[1], 1)[0]
    assert (hit.id, hit.score) == ("a", 0.0)
    # The first item's slot is freed once the batch is stored, and the next add takes it.
    c.add([7.0, 7.0, 7.0, 7.0], {}, id="b")
    c.sync()
    assert stored_rows(path, "c", 2).tolist() == [[7.0, 7.0, 7.0, 7.0]] + ROWS[1:2].tolist()


def test_an_id_already_stored_is_replaced_and_its_slot_freed(path, c):
    c.add([5.0, 5.0, 5.0, 5.0], {"old": True}, id="x")
    c.sync()
    assert c.add_batch(ROWS[:1], [{"new": True}], ids=["x"]) == ["x"]
    assert len(c) == 1
    assert c.get("x").metadata == {"new": True}
    c.add([6.0, 6.0, 6.0, 6.0], {})  # into the replaced record's slot 0
    c.sync()
    assert stored_rows(path, "c", 2).tolist() == [[6.0, 6.0, 6.0, 6.0]] + ROWS[:1].tolist()


class _Sub(np.ndarray):
    pass


def _layouts():
    base = np.arange(40, dtype=np.float32).reshape(5, 8) / 7
    wide = np.arange(48, dtype=np.float32).reshape(12, 4) / 3
    yield "C order", np.ascontiguousarray(base[:, :4])
    yield "Fortran order", np.asfortranarray(base[:, :4])
    yield "column slice", base[:, ::2]
    yield "row slice", wide[1::3]
    yield "transposed", np.ascontiguousarray(base[:, :4].T).T
    yield "transposed view", np.arange(20, dtype=np.float32).reshape(4, 5).T
    yield "negative strides", base[::-1, 7:3:-1]
    yield "float64", (np.arange(20, dtype=np.float64).reshape(5, 4) / 7)
    yield "float64 Fortran", np.asfortranarray(np.arange(20, dtype=np.float64).reshape(5, 4) / 9)
    yield "float64 beyond float32", np.array([[3.40282356e38, -3.40282356e38, 1e-50, 1e-45]])
    yield "unaligned", np.frombuffer(b"\0" + np.arange(8, dtype=np.float32).tobytes(), np.float32, 8, 1).reshape(2, 4)
    yield "big-endian", np.arange(8, dtype=">f4").reshape(2, 4)
    yield "subclass", np.arange(8, dtype=np.float32).reshape(2, 4).view(_Sub)
    yield "mixed list", [
        np.arange(4, dtype=np.float32),
        np.arange(4, dtype=np.float64) / 3,
        np.arange(8, dtype=np.float32)[::2],
        [1, 2.5, True, np.float32(0.25)],
        (0.1, 0.2, 0.3, 0.4),
    ]


@pytest.mark.parametrize("name, vectors", list(_layouts()), ids=[n for n, _ in _layouts()])
def test_rows_are_the_rows_numpy_shows_narrowed_to_float32(path, db, name, vectors):
    c = db.collection("m", D, "l2")
    want = np.array([np.asarray(r, dtype=np.float64) for r in vectors])
    n = len(want)
    ids = c.add_batch(vectors, [{}] * n)
    assert len(ids) == n
    got = stored_rows(path, "m", n)
    with np.errstate(over="ignore"):
        assert got.tobytes() == want.astype(np.float32).tobytes()


@pytest.mark.parametrize("vectors", [[], np.zeros((0, D), np.float32), np.zeros((0, 9), np.float64)])
def test_an_empty_batch_returns_an_empty_list(c, vectors):
    assert c.add_batch(vectors, []) == []
    assert len(c) == 0


def test_zero_columns_fail_the_dimension_check(c):
    assert raises(ValueError, c.add_batch, np.zeros((2, 0), np.float32), [{}, {}]) == (
        "Dimension mismatch: expected 4, got 0",
    )


def test_a_cosine_batch_is_stored_at_unit_length(path, db):
    c = db.collection("cos", 3, "cosine")
    rows = np.array([[3, 4, 0], [1, 1, 1], [0, 0, 1e-9]], dtype=np.float32)
    c.add_batch(rows, [{}] * 3)
    got = stored_rows(path, "cos", 3, 3)
    assert got[0].tolist() == [np.float32(3) * np.float32(1 / np.float32(5)), np.float32(4) * np.float32(1 / np.float32(5)), 0.0]
    assert math.isclose(float(np.linalg.norm(got[1])), 1.0, rel_tol=1e-6)
    assert got[2].tolist() == [0.0, 0.0, 0.0]  # too short to scale: stored as zeros
    assert c.search([3, 4, 0], 1)[0].score == pytest.approx(1.0)


@pytest.mark.parametrize(
    "metric, vector, refusal",
    [
        ("l2", [NAN, 1, 2, 3], "element 0 is not finite (NaN)"),
        ("dot", [NAN, 1, 2, 3], "element 0 is not finite (NaN)"),
        ("cosine", [NAN, 1, 2, 3], "element 0 is not finite (NaN)"),
        ("cosine", [1, 2, 3, NAN], "element 3 is not finite (NaN)"),
        ("cosine", [math.inf, 1, 2, 3], "element 0 is not finite (inf)"),
    ],
)
def test_vectors_stored_with_a_nan_first_float_are_refused_by_every_writer(path, db, metric, vector, refusal):
    c = db.collection("n", D, metric)
    c.add([1, 1, 1, 1], {"v": 1}, id="old")
    c.sync()
    assert raises(ValueError, c.add, vector, {}) == ("Invalid input: vector " + refusal,)
    # The upsert is refused before it deletes the stored record.
    assert raises(ValueError, c.upsert, "old", vector, {}) == ("Invalid input: vector " + refusal,)
    assert raises(ValueError, c.add_batch, [[1, 2, 3, 4], vector], [{}, {}]) == (
        "Invalid input: vector 1 " + refusal,
    )
    assert c.get("old").metadata == {"v": 1}
    assert len(c) == 1
    c.add([2, 2, 2, 2], {}, id="next")
    c.sync()
    assert stored_rows(path, "n", 2)[1].tolist() != [1, 2, 3, 4]  # no slot was taken


@pytest.mark.parametrize(
    "metric, vector",
    [("l2", [1, NAN, 2, 3]), ("l2", [math.inf, 1, 2, 3]), ("cosine", [1, math.inf, 2, 3])],
)
def test_vectors_with_nan_or_infinity_after_the_first_float_are_refused_too(db, metric, vector):
    c = db.collection("n", D, metric)
    with pytest.raises(ValueError):
        c.add_batch([vector], [{}])
    with pytest.raises(ValueError):
        c.add(vector, {})
    assert len(c) == 0



# ---- Metadata texts: the dicts of a batch are serialised together, stored as if alone ----

READ_METADATA = """
import sys, struct, lmdb
env = lmdb.open(sys.argv[1], subdir=False, max_dbs=4, readonly=True, lock=False)
with env.begin() as txn:
    for key, value in txn.cursor(db=env.open_db(b"records", txn=txn, create=False)):
        n = struct.unpack_from("<Q", value)[0]
        m = struct.unpack_from("<Q", value, 16 + n)[0]
        print(key[:-1].decode(), value[24 + n : 24 + n + m].hex())
"""


def stored_metadata(path, name):
    """Each record's stored metadata text, by id, read from the store by another process."""
    store = os.path.join(path, "collections", name, "meta.redb")
    out = subprocess.run([sys.executable, "-c", READ_METADATA, store], check=True,
                         capture_output=True, text=True).stdout.split()
    return {rid: bytes.fromhex(text).decode() for rid, text in zip(out[::2], out[1::2])}


class _Reordered(dict):
    """Serialised through its own items(), which json.dumps calls for a dict subclass."""

    def items(self):
        return reversed(list(super().items()))


AWKWARD_DICTS = [
    {},
    {"b": 1, "a": {"d": 2, "c": [3, {"z": None}, []]}, "": ""},
    {"t": "é\n", "ключ": "値", "emoji": "😀", "ctl": "\x00\x1f\x7f\t"},
    {"s": '}, {"x": [1, 2]}, \\', "q": '"', "k]": "[", "}, {": ", "},
    {1: "a", "1": "b", 2.5: True, None: 0, False: 1},
    {"f": 1.0, "g": 1.5e-7, "h": 1e300, "z": -0.0, "big": 2**64, "neg": -(2**63), "u": 2**64 - 1},
    {"t": (1, "x"), "l": [[[]]], "n": [None, True, False]},
    _Reordered(b=1, a=2, c=[1]),
    nested(127),
    {"a": 1, "a ": 2, "a\u0000": 3},
]


def test_batch_metadata_is_stored_as_each_dict_alone_would_be(path, db):
    n = len(AWKWARD_DICTS)
    rows = np.ones((n, D), np.float32)
    ids = [f"r{i:02d}" for i in range(n)]
    together, alone, single = (db.collection(name, D, "l2") for name in ("t", "a", "s"))
    together.add_batch(rows, AWKWARD_DICTS, ids=ids)
    for i, d in enumerate(AWKWARD_DICTS):
        alone.add_batch(rows[:1], [d], ids=[ids[i]])
        single.add(rows[i], d, id=ids[i])
    single.sync()
    texts = stored_metadata(path, "t")
    assert list(texts) == ids
    assert texts == stored_metadata(path, "a") == stored_metadata(path, "s")
    assert texts["r01"] == '{"":"","a":{"c":[3,{"z":null},[]],"d":2},"b":1}'
    assert texts["r03"] == r'{"k]":"[","q":"\"","s":"}, {\"x\": [1, 2]}, \\","}, {":", "}'
    assert texts["r04"] == '{"1":"b","2.5":true,"false":1,"null":0}'
    assert texts["r05"] == (
        '{"big":1.8446744073709552e+19,"f":1.0,"g":1.5e-7,"h":1e+300,"neg":-9223372036854775808,'
        '"u":18446744073709551615,"z":-0.0}'
    )
    assert texts["r07"] == '{"a":2,"b":1,"c":[1]}'


def _circular():
    d = {}
    d["self"] = d
    return d


class _Failing(dict):
    def items(self):
        raise KeyError("boom")


@pytest.mark.parametrize(
    "dicts, exc, message",
    [
        # The first dict that fails decides, whatever fails later.
        ([{}, {"x": NAN}, {"s": {1}}], ValueError, "Invalid JSON: expected value at line 1 column 7"),
        ([{}, {"s": {1}}, {"x": NAN}], TypeError, "Object of type set is not JSON serializable"),
        ([{"a": 1}, {"x": -math.inf}], ValueError, "Invalid JSON: invalid number at line 1 column 8"),
        ([{}, {"x": math.inf}], ValueError, "Invalid JSON: expected value at line 1 column 7"),
        ([{}, {"n": 10**400}], ValueError, "Invalid JSON: number out of range at line 1 column 7"),
        ([{}, {"s": "\ud800"}], ValueError, "Invalid JSON: unpaired surrogate in hex escape at line 1 column 8"),
        ([{}, nested(128)], ValueError, "Invalid JSON: recursion limit exceeded at line 1 column 763"),
        ([{}, {(1, 2): 3}], TypeError, "keys must be str, int, float, bool or None, not tuple"),
        ([{}, _circular()], ValueError, "Circular reference detected"),
        ([{}, {}, _Failing(a=1)], KeyError, "boom"),
    ],
)
def test_a_dict_that_fails_raises_as_it_would_alone(c, dicts, exc, message):
    rows = np.ones((len(dicts), D), np.float32)
    assert raises(exc, c.add_batch, rows, dicts) == (message,)
    # The same error as the dict that fails gives by itself.
    first_bad = next(d for d in dicts if _fails(c, d))
    assert raises(exc, c.add, rows[0], first_bad) == (message,)
    assert len(c) == 0


def _fails(c, d):
    try:
        c.add_batch(np.ones((1, D), np.float32), [d], ids=["probe"])
    except Exception:
        return True
    c.delete("probe")
    return False


def test_an_interrupt_while_serialising_ends_the_call(c):
    class Interrupting(dict):
        """Interrupted on the first serialisation only, as by a signal."""

        interrupted = False

        def items(self):
            if not Interrupting.interrupted:
                Interrupting.interrupted = True
                raise KeyboardInterrupt
            return super().items()

    with pytest.raises(KeyboardInterrupt):
        c.add_batch(np.ones((3, D), np.float32), [{}, Interrupting(a=1), {}])
    assert len(c) == 0


def test_a_replaced_json_dumps_is_called_once_per_dict(c, monkeypatch):
    import json

    calls = []
    real = json.dumps

    def dumps(obj):
        calls.append(obj)
        return real({**obj, "seen": len(calls)})

    monkeypatch.setattr(json, "dumps", dumps)
    dicts = [{"i": 0}, {"i": 1}, {"i": 2}]
    ids = c.add_batch(np.ones((3, D), np.float32), dicts)
    assert calls == dicts
    assert [c.get(i).metadata for i in ids] == [{"i": k, "seen": k + 1} for k in range(3)]


def test_a_big_batch_stores_every_dict_in_its_own_record(path, db):
    # Enough dicts for their texts to be compacted by several workers.
    n = 9000
    dicts = [{"i": i, "s": '"]}, {' * (i % 3), "k": {"z": i % 7, "a": [i, -i]}} for i in range(n)]
    c = db.collection("big", D, "l2")
    ids = c.add_batch(np.ones((n, D), np.float32), dicts, ids=[f"r{i:05d}" for i in range(n)])
    texts = stored_metadata(path, "big")
    assert list(texts) == ids
    for i in range(n):
        s = r'\"]}, {' * (i % 3)
        assert texts[ids[i]] == f'{{"i":{i},"k":{{"a":[{i},{-i}],"z":{i % 7}}},"s":"{s}"}}'


def test_a_dict_that_fails_deep_in_a_big_batch_raises_as_it_would_alone(c):
    dicts = [{"i": i} for i in range(9000)]
    dicts[7000] = {"x": NAN}
    dicts[8000] = {"s": {1}}
    assert raises(ValueError, c.add_batch, np.ones((9000, D), np.float32), dicts) == (
        "Invalid JSON: expected value at line 1 column 7",
    )
    assert len(c) == 0


def test_a_batch_led_by_a_large_metadata_text_is_stored_whole(c):
    # The first record of a thousand carries 30 MiB of metadata, the others a few bytes:
    # room for the encoded records must follow each one's own size, not the first one's.
    big = {"text": "x" * (30 << 20)}
    metadatas = [big] + [{"i": i} for i in range(1, 1024)]
    ids = [f"r{i:04d}" for i in range(1024)]
    vectors = np.arange(1024 * D, dtype=np.float32).reshape(1024, D)
    assert c.add_batch(vectors, metadatas, ids=ids) == ids
    assert len(c) == 1024
    assert c.get("r0000").metadata == big
    assert c.get("r1023").metadata == {"i": 1023}
