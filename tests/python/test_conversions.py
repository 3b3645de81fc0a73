"""Conversions at the Python boundary: vector arguments (NumPy fast paths and the sequence
path), metadata dicts through json.dumps into stored compact JSON, and back."""

import json
import math
import struct
import sys

import numpy as np
import pytest

import tornquil

from helpers import raises

D = 3


def f32(x):
    """The value a Python float has once narrowed to a 32-bit float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


@pytest.fixture
def basis(db):
    """A dot-product collection holding the unit vectors e0, e1, e2 under ids "0", "1", "2":
    searching it with a query q scores q[i] for id "i", so it reads back the floats any
    vector argument was converted into."""
    c = db.collection("basis", D, "dot")
    for i in range(D):
        e = np.zeros(D, dtype=np.float32)
        e[i] = 1.0
        c.add(e, {}, id=str(i))
    return c


def converted(basis, arg):
    """The floats `arg` became, read back through the scores of the basis collection."""
    scores = {r.id: r.score for r in basis.search(arg, D)}
    return [scores[str(i)] for i in range(D)]


def same_floats(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if math.isnan(w):
            assert math.isnan(g)
        else:
            assert g == w


# ---- Vectors ----

LONG = np.arange(6, dtype=np.float32) * 0.5

VECTOR_CASES = [
    ("float32 array", np.array([1.0, 2.0, 3.0], dtype=np.float32), [1.0, 2.0, 3.0]),
    ("list of floats", [1.0, 2.0, 3.0], [1.0, 2.0, 3.0]),
    ("tuple", (1.0, 2.0, 3.0), [1.0, 2.0, 3.0]),
    ("strided float32 view", LONG[::2], [0.0, 1.0, 2.0]),
    ("negative stride", LONG[4::-2], [2.0, 1.0, 0.0]),
    ("fortran-ordered 1-d", np.asfortranarray(np.array([3.0, 2.0, 1.0], dtype=np.float32)),
     [3.0, 2.0, 1.0]),
    ("float64 array narrowed", np.array([0.1, 1e-3, -7.25]), [f32(0.1), f32(1e-3), -7.25]),
    ("strided float64 view", np.array([0.1, 9.0, 0.2, 9.0, 0.3])[::2],
     [f32(0.1), f32(0.2), f32(0.3)]),
    ("byte-swapped float32", np.array([1.5, -2.0, 4.0], dtype=">f4"), [1.5, -2.0, 4.0]),
    ("int array", np.array([1, 2, 3], dtype=np.int64), [1.0, 2.0, 3.0]),
    ("float16 array", np.array([0.5, 1.0, 2.0], dtype=np.float16), [0.5, 1.0, 2.0]),
    ("bools and ints", [True, 2, 3.5], [1.0, 2.0, 3.5]),
    ("numpy scalars", [np.float32(0.25), np.float64(0.1), np.int8(-3)], [0.25, f32(0.1), -3.0]),
    ("range", range(1, 4), [1.0, 2.0, 3.0]),
    ("objects with __float__ and __index__",
     [type("F", (), {"__float__": lambda s: 0.5})(),
      type("I", (), {"__index__": lambda s: 7})(), 1.0], [0.5, 7.0, 1.0]),
    ("below the float32 range", np.array([1e-300, -1e-300, 1e-45]), [0.0, -0.0, f32(1e-45)]),
    ("masked array reads its raw data", np.ma.masked_array(np.array([1.0, 2.0, 3.0], np.float32),
                                                            mask=[True, False, True]),
     [1.0, 2.0, 3.0]),
]


@pytest.mark.parametrize("arg, want", [c[1:] for c in VECTOR_CASES],
                         ids=[c[0] for c in VECTOR_CASES])
def test_vector_arguments_convert_to_the_same_floats(basis, arg, want):
    same_floats(converted(basis, arg), want)


@pytest.mark.parametrize(
    "arg, want",
    [
        (np.array([1e300]), "inf"),
        (np.array([-1e300]), "-inf"),
        ([1e300], "inf"),
        ([-1e300], "-inf"),
        ([math.nan], "NaN"),
        (np.array([math.nan]), "NaN"),
        (np.array([math.nan], np.float32), "NaN"),
    ],
)
def test_infinities_and_nan_survive_the_narrowing(db, arg, want):
    # Narrowing beyond float32's range gives an infinity, which the query check then names.
    c = db.collection("one", 1, "dot")
    c.add([1.0], {}, id="x")
    assert raises(ValueError, c.search, arg, 1) == (
        f"Invalid input: query vector element 0 is not finite ({want})",)


def test_the_stored_vector_is_the_converted_one(db):
    # add converts through the same path: a float64 array is narrowed before it is stored.
    c = db.collection("stored", D, "dot")
    c.add(np.array([0.1, 0.2, 0.3]), {}, id="x")
    for i, want in enumerate([0.1, 0.2, 0.3]):
        q = [0.0] * D
        q[i] = 1.0
        assert c.search(q, 1)[0].score == f32(want)


class BadLength:
    """A sequence whose length query fails: the conversion reserves nothing and goes on."""

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i < D:
            return float(i)
        raise IndexError


class BadItem:
    def __len__(self):
        return D

    def __getitem__(self, i):
        if i == 1:
            raise LookupError("item 1 is gone")
        if i < D:
            return 1.0
        raise IndexError


def test_a_failing_length_query_is_ignored(basis):
    assert converted(basis, BadLength()) == [0.0, 1.0, 2.0]


VECTOR_ERRORS = [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ({1: 1.0}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    (np.float32(1.0), TypeError, "'float32' object cannot be converted to 'Sequence'"),
    ((x for x in [1.0, 2.0, 3.0]), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    ([1.0, "x", 2.0], TypeError, "must be real number, not str"),
    ([1.0, None, 2.0], TypeError, "must be real number, not NoneType"),
    ([1.0, 2**1024, 2.0], OverflowError, "int too large to convert to float"),
    (BadItem(), LookupError, "item 1 is gone"),
]


@pytest.mark.parametrize("arg, exc, message", VECTOR_ERRORS)
def test_vector_conversion_errors_pass_unchanged(db, arg, exc, message):
    c = db.collection("errors", D)
    for call in (lambda: c.add(arg, {}), lambda: c.search(arg, 1),
                 lambda: c.upsert("x", arg, {})):
        with pytest.raises(exc) as err:
            call()
        assert type(err.value) is exc
        assert str(err.value) == message  # no argument name is added
    assert len(c) == 0


def test_a_two_dimensional_array_is_refused_on_its_first_row(db):
    c = db.collection("matrix", D)
    with pytest.raises(TypeError):
        c.add(np.ones((2, D), dtype=np.float32), {})
    assert len(c) == 0


@pytest.mark.parametrize("empty", [[], (), np.array([], dtype=np.float32), np.array([])])
def test_an_empty_vector_is_a_dimension_mismatch(db, empty):
    c = db.collection("empty", D)
    with pytest.raises(ValueError) as err:
        c.add(empty, {})
    assert err.value.args == ("Dimension mismatch: expected 3, got 0",)


def test_vector_conversion_needs_numpy_even_for_lists(tmp_path):
    # In a fresh process whose numpy cannot be imported, the conversion fails cleanly with
    # the import's error and the process goes on.
    import os
    import subprocess
    import textwrap

    script = textwrap.dedent(
        f"""
        import sys
        sys.modules["numpy"] = None
        import tornquil
        db = tornquil.Tornquil({str(tmp_path / "db")!r})
        c = db.collection("c", 2)
        try:
            c.add([1.0, 2.0], {{}})
        except ImportError as e:
            print("ImportError")
        print(len(c))
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["ImportError", "0"]


# ---- Metadata ----

def stored_text(c, metadata):
    """The compact JSON text a metadata dict is stored as, shown by the repr of get."""
    rid = c.add([1.0, 0.0, 0.0], metadata)
    r = c.get(rid)
    prefix = f"SearchResult(id='{rid}', score=0.0000, metadata="
    text = repr(r)
    assert text.startswith(prefix) and text.endswith(")")
    return text[len(prefix):-1], r.metadata


def nested(levels):
    d = {}
    for _ in range(levels - 1):
        d = {"a": d}
    return d


METADATA_CASES = [
    ({"b": 1, "a": {"d": 2, "c": 3}}, '{"a":{"c":3,"d":2},"b":1}', {"a": {"c": 3, "d": 2}, "b": 1}),
    ({}, "{}", {}),
    ({1: "a", "1": "b"}, '{"1":"b"}', {"1": "b"}),
    ({"n": 2**64}, '{"n":1.8446744073709552e+19}', {"n": 1.8446744073709552e19}),
    ({"n": 2**64 - 1}, '{"n":18446744073709551615}', {"n": 2**64 - 1}),
    ({"n": -(2**63)}, '{"n":-9223372036854775808}', {"n": -(2**63)}),
    ({"n": -(2**63) - 1}, '{"n":-9.223372036854776e+18}', {"n": -9.223372036854776e18}),
    ({"t": "é\n"}, '{"t":"é\\n"}', {"t": "é\n"}),
    ({"s": "a/b\"c\\"}, '{"s":"a/b\\"c\\\\"}', {"s": 'a/b"c\\'}),
    ({"tup": (1, 2.5), "none": None, "b": True}, '{"b":true,"none":null,"tup":[1,2.5]}',
     {"b": True, "none": None, "tup": [1, 2.5]}),
    ({1.5: 0, True: 1, None: 2}, '{"1.5":0,"null":2,"true":1}', {"1.5": 0, "null": 2, "true": 1}),
    ({"f": 1e30, "g": 1.5e-7, "h": 250.0, "i": 0.00001}, '{"f":1e+30,"g":1.5e-7,"h":250.0,"i":0.00001}',
     {"f": 1e30, "g": 1.5e-7, "h": 250.0, "i": 0.00001}),
    ({"💡": "\x01"}, '{"💡":"\\u0001"}', {"💡": "\x01"}),
]


@pytest.mark.parametrize("metadata, text, value", METADATA_CASES)
def test_metadata_is_stored_as_sorted_compact_json(db, metadata, text, value):
    c = db.collection("meta", D)
    got_text, got_value = stored_text(c, metadata)
    assert got_text == text
    assert got_value == value
    assert type(got_value.get("n")) is type(value.get("n"))
    assert list(got_value) == sorted(value)
    # Committed, the text stays the same.
    c.sync()
    assert stored_text(c, metadata)[0] == text


def test_nesting_127_levels_is_accepted_and_128_refused(db):
    c = db.collection("deep", D)
    text, value = stored_text(c, nested(127))
    assert text == '{"a":' * 126 + "{}" + "}" * 126
    with pytest.raises(ValueError) as err:
        c.add([1.0, 0.0, 0.0], nested(128))
    assert err.value.args[0].startswith("Invalid JSON: recursion limit exceeded at line 1 column ")
    assert len(c) == 1


METADATA_ERRORS = [
    ({"x": float("nan")}, ValueError, "Invalid JSON: expected value at line 1 column 7"),
    ({"x": float("inf")}, ValueError, "Invalid JSON: expected value at line 1 column 7"),
    ({"x": float("-inf")}, ValueError, "Invalid JSON: invalid number at line 1 column 8"),
    # Where inside the long number the parser stops is its own affair.
    ({"n": 10**400}, ValueError, "Invalid JSON: number out of range at line 1 column *"),
    ({"s": {1, 2}}, TypeError, "Object of type set is not JSON serializable"),
    ({(1, 2): 0}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
]


@pytest.mark.parametrize("metadata, exc, message", METADATA_ERRORS)
def test_metadata_errors(db, metadata, exc, message):
    c = db.collection("bad", D)
    for call in (lambda: c.add([1.0, 0.0, 0.0], metadata),
                 lambda: c.upsert("x", [1.0, 0.0, 0.0], metadata),
                 lambda: c.search([1.0, 0.0, 0.0], 1, where_=metadata)):
        with pytest.raises(exc) as err:
            call()
        assert type(err.value) is exc
        (got,) = err.value.args
        if message.endswith("*"):
            assert got.startswith(message[:-1]) and got[len(message) - 1:].isdigit()
        else:
            assert got == message
    assert len(c) == 0


def test_dict_subclasses_are_serialised_as_dicts(db):
    class Meta(dict):
        pass

    c = db.collection("sub", D)
    assert stored_text(c, Meta(b=2, a=1))[0] == '{"a":1,"b":2}'


def test_json_dumps_is_called_and_its_result_checked(db, monkeypatch):
    c = db.collection("dumps", D)
    calls = []

    def fake_dumps(obj, *args, **kwargs):
        calls.append((obj, args, kwargs))
        return '{"faked":true}'

    monkeypatch.setattr(json, "dumps", fake_dumps)
    rid = c.add([1.0, 0.0, 0.0], {"real": 1})
    assert c.get(rid).metadata == {"faked": True}
    assert calls == [({"real": 1}, (), {})]  # the dict alone, every default kept

    monkeypatch.setattr(json, "dumps", lambda obj: b"{}")
    with pytest.raises(TypeError) as err:
        c.add([1.0, 0.0, 0.0], {})
    assert err.value.args == ("'bytes' object cannot be converted to 'PyString'",)

    monkeypatch.setattr(json, "dumps", lambda obj: "{} {}")
    with pytest.raises(ValueError) as err:
        c.add([1.0, 0.0, 0.0], {})
    assert err.value.args == ("Invalid JSON: trailing characters at line 1 column 4",)

    monkeypatch.delattr(json, "dumps")
    with pytest.raises(AttributeError):
        c.add([1.0, 0.0, 0.0], {})
    assert len(c) == 1


def test_a_json_module_that_cannot_be_imported_fails_the_call(db, monkeypatch):
    c = db.collection("nojson", D)
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError):
        c.add([1.0, 0.0, 0.0], {})
    with pytest.raises(ImportError):
        c.search([1.0, 0.0, 0.0], 1, where_={})
    # Without a filter, search needs no json; its results' metadata does.
    assert c.search([1.0, 0.0, 0.0], 1) == []
    assert len(c) == 0


def test_metadata_reads_give_new_equal_objects(db):
    c = db.collection("fresh", D)
    rid = c.add([1.0, 0.0, 0.0], {"a": [1]})
    r = c.get(rid)
    first, second = r.metadata, r.metadata
    assert first == second and first is not second
    first["a"].append(2)
    assert c.get(rid).metadata == {"a": [1]}
