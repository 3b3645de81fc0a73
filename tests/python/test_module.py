"""The module surface: registration, class docstrings and signatures, constructors, the
read-only getters, and the result and statistics classes with their reprs."""

import math
import struct
import subprocess
import sys
import textwrap

import pytest

import tornquil

CLASS_NAMES = [
    "Tornquil",
    "Collection",
    "SearchResult",
    "CompactStats",
    "RecoveryStats",
    "ImportStats",
]

# class name -> (__doc__, __text_signature__)
CLASS_DOCS = {
    "Tornquil": (
        "Tornquil vector database.\n\n"
        "A lightweight, serverless, single-file vector database for AI agent memory.",
        "(path)",
    ),
    "Collection": ("A collection of vectors with associated metadata.", None),
    "SearchResult": ("Search result from a vector query.", None),
    "CompactStats": ("Statistics from a compaction operation.", None),
    "RecoveryStats": ("Statistics from crash recovery.", None),
    "ImportStats": ("Statistics from an import operation.", None),
}

# class name -> its read-only properties, in field order, with their docstrings
PROPERTIES = {
    "SearchResult": [
        ("id", "Record ID."),
        ("score", "Similarity/distance score."),
        ("metadata", "Get the metadata as a Python dict."),
    ],
    "CompactStats": [
        ("expired_removed", "Number of expired records removed."),
        ("tombstones_removed", "Number of tombstone records removed."),
        ("bytes_freed", "Bytes freed (approximate)."),
        ("duration_ms", "Duration in milliseconds."),
    ],
    "RecoveryStats": [
        ("promoted", "Records promoted from Pending to Active."),
        ("rolled_back", "Records rolled back (incomplete writes)."),
        ("tombstones", "Tombstone records found."),
    ],
    "ImportStats": [
        ("imported", "Number of records successfully imported."),
        ("skipped", "Number of records skipped."),
        ("failed", "Number of records that failed to import."),
        ("duration_ms", "Duration in milliseconds."),
    ],
}

NO_CONSTRUCTOR = [name for name in CLASS_NAMES if name != "Tornquil"]


def f32(x):
    """The value a Python float has once stored as a 32-bit float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def sample(testing, name):
    """An instance of one of the four value classes."""
    return {
        "SearchResult": lambda: testing.search_result("doc", 0.5, '{"a":1}'),
        "CompactStats": lambda: testing.compact_stats(1, 2, 3, 4),
        "RecoveryStats": lambda: testing.recovery_stats(0, 0, 0),
        "ImportStats": lambda: testing.import_stats(1, 2, 3, 4),
    }[name]()


# ---- Module and registration ----


def test_module_lists_exactly_its_six_classes_in_order():
    assert tornquil.__all__ == CLASS_NAMES
    public = {name for name in dir(tornquil) if not name.startswith("_")}
    assert public == set(CLASS_NAMES)
    for name in CLASS_NAMES:
        assert isinstance(getattr(tornquil, name), type)
    assert tornquil.__name__ == "tornquil"
    assert tornquil.__doc__ == (
        "Tornquil Python module.\n\nA lightweight, serverless vector database for AI agent memory."
    )


def test_reimport_returns_the_identical_module():
    original = sys.modules.pop("tornquil")
    try:
        import tornquil as again

        assert again is original
        assert again.__all__ == CLASS_NAMES
        assert again.SearchResult is original.SearchResult
    finally:
        sys.modules["tornquil"] = original


def test_second_interpreter_is_refused_and_first_keeps_working(tmp_path):
    # Run in a child process: a subinterpreter must not disturb the test session.
    out = tmp_path / "message.txt"
    script = textwrap.dedent(
        f"""
        import sys
        sys.path[:] = {sys.path!r}
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("SKIP")
            raise SystemExit(0)
        import tornquil
        try:
            interp = interpreters.create(isolated=False)
        except TypeError:
            interp = interpreters.create()
        code = (
            "import sys\\n"
            "sys.path[:] = %r\\n"
            "try:\\n"
            "    import tornquil\\n"
            "except ImportError as e:\\n"
            "    open(%r, 'w').write(str(e))\\n"
        ) % (sys.path, {str(out)!r})
        interpreters.run_string(interp, code)
        interpreters.destroy(interp)
        assert tornquil.__all__[0] == "Tornquil"
        assert tornquil.CompactStats.__doc__ == "Statistics from a compaction operation."
        """
    )
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    if proc.stdout.strip() == "SKIP":
        pytest.skip("this interpreter offers no subinterpreters")
    assert out.read_text().startswith("PyO3 modules do not yet support subinterpreters, see ")


# ---- Classes: names, docstrings, signatures, constructors ----


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_identity_and_docs(name):
    cls = getattr(tornquil, name)
    doc, signature = CLASS_DOCS[name]
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, "x"), {}), ((), {"id": "a"})])
def test_classes_without_constructor_refuse_calls(name, args, kwargs):
    with pytest.raises(TypeError) as err:
        getattr(tornquil, name)(*args, **kwargs)
    assert err.value.args == (f"No constructor defined for {name}",)


@pytest.mark.parametrize("name", NO_CONSTRUCTOR)
def test_classes_without_constructor_refuse_new(name):
    cls = getattr(tornquil, name)
    with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
        cls.__new__(cls)


# ---- Read-only properties ----


@pytest.mark.parametrize("name", sorted(PROPERTIES))
def test_properties_and_their_docstrings(name):
    cls = getattr(tornquil, name)
    props = {k for k, v in vars(cls).items() if isinstance(v, type(tornquil.SearchResult.id))}
    assert props == {prop for prop, _ in PROPERTIES[name]}
    for prop, doc in PROPERTIES[name]:
        assert getattr(cls, prop).__doc__ == doc


@pytest.mark.parametrize(
    "name, prop", [(name, prop) for name, props in PROPERTIES.items() for prop, _ in props]
)
def test_getters_refuse_assignment_and_deletion(testing, name, prop):
    obj = sample(testing, name)
    before = getattr(obj, prop)
    message = f"attribute '{prop}' of 'builtins.{name}' objects is not writable"
    with pytest.raises(AttributeError) as err:
        setattr(obj, prop, before)
    assert str(err.value) == message
    with pytest.raises(AttributeError) as err:
        delattr(obj, prop)
    assert str(err.value) == message
    assert getattr(obj, prop) == before


@pytest.mark.parametrize("name", sorted(PROPERTIES))
def test_instances_take_no_new_attributes(testing, name):
    obj = sample(testing, name)
    with pytest.raises(AttributeError):
        obj.extra = 1
    assert not hasattr(obj, "__dict__")


# ---- SearchResult ----

SCORE_CASES = [
    (1.0, "1.0000"),
    (0.5, "0.5000"),
    (0.1, "0.1000"),  # stored slightly above one tenth
    (0.00015, "0.0002"),  # stored slightly above
    (0.00005, "0.0000"),  # stored slightly below
    (0.03125, "0.0312"),  # exact tie: to the even digit
    (0.09375, "0.0938"),  # exact tie: to the even digit
    (0.15625, "0.1562"),
    (-2.25, "-2.2500"),
    (12345.678, "12345.6777"),  # stored as 12345.677734375
    (0.0, "0.0000"),
    (-0.0, "-0.0000"),
    (-1e-45, "-0.0000"),  # the smallest negative float rounds to a signed zero
    (1e-45, "0.0000"),
    (-0.99996, "-1.0000"),
    (3.4028234663852886e38, "340282346638528859811704183484516925440.0000"),
    (float("nan"), "NaN"),
    (-float("nan"), "NaN"),
    (float("inf"), "inf"),
    (-float("inf"), "-inf"),
    (1e300, "inf"),  # beyond the float range, as a core score would be
]


@pytest.mark.parametrize("score, text", SCORE_CASES)
def test_search_result_repr_formats_the_score(testing, score, text):
    r = testing.search_result("id", score, "{}")
    assert repr(r) == f"SearchResult(id='id', score={text}, metadata={{}})"


@pytest.mark.parametrize("score", [case[0] for case in SCORE_CASES])
def test_search_result_score_is_the_stored_float_exactly(testing, score):
    got = testing.search_result("id", score, "{}").score
    assert type(got) is float
    if math.isnan(score):
        assert math.isnan(got)
        return
    expected = f32(score) if abs(score) <= 3.4028234663852886e38 else math.copysign(math.inf, score)
    assert got == expected
    assert math.copysign(1.0, got) == math.copysign(1.0, score)


def test_search_result_score_is_not_rounded_to_four_digits(testing):
    assert testing.search_result("id", 0.1, "{}").score == 0.10000000149011612


@pytest.mark.parametrize(
    "id_, metadata, expected",
    [
        ("doc-1", '{"a":1}', "SearchResult(id='doc-1', score=0.0000, metadata={\"a\":1})"),
        ("it's", "{}", "SearchResult(id='it's', score=0.0000, metadata={})"),
        ("a\\b\n\t\"c", "null", "SearchResult(id='a\\b\n\t\"c', score=0.0000, metadata=null)"),
        ("é–💡", '{"t":"é\\n"}', "SearchResult(id='é–💡', score=0.0000, metadata={\"t\":\"é\\n\"})"),
        ("", "[1,2.5]", "SearchResult(id='', score=0.0000, metadata=[1,2.5])"),
    ],
)
def test_search_result_repr_inserts_id_and_metadata_unchanged(testing, id_, metadata, expected):
    r = testing.search_result(id_, 0.0, metadata)
    assert repr(r) == expected
    assert str(r) == expected
    assert r.id == id_


@pytest.mark.parametrize(
    "stored, value",
    [
        ('{"a":{"c":3,"d":2},"b":1}', {"a": {"c": 3, "d": 2}, "b": 1}),
        ("{}", {}),
        ("null", None),
        ("[1,\"x\",true,null]", [1, "x", True, None]),
        ("2.5", 2.5),
        ('"text"', "text"),
        ('{"n":18446744073709551615}', {"n": 2**64 - 1}),
        ('{"n":-9223372036854775808}', {"n": -(2**63)}),
        ('{"n":1.8446744073709552e+19}', {"n": 1.8446744073709552e19}),
        ('{"t":"é\\n","u":"\\u00e9"}', {"t": "é\n", "u": "é"}),
    ],
)
def test_search_result_metadata_round_trips(testing, stored, value):
    got = testing.search_result("id", 0.0, stored).metadata
    assert got == value
    assert type(got) is type(value)


def test_search_result_metadata_keys_come_in_sorted_order(testing):
    # Even a text that was not written in order reads back sorted.
    got = testing.search_result("id", 0.0, '{"b":1,"a":{"d":2,"c":3}}').metadata
    assert list(got) == ["a", "b"]
    assert list(got["a"]) == ["c", "d"]


def test_search_result_metadata_is_a_new_object_on_every_read(testing):
    r = testing.search_result("id", 0.0, '{"a":[1]}')
    first, second = r.metadata, r.metadata
    assert first == second and first is not second
    first["a"].append(2)
    first["b"] = 0
    assert r.metadata == {"a": [1]}
    assert repr(r).endswith('metadata={"a":[1]})')


@pytest.mark.parametrize(
    "stored, description",
    [
        ("[1] x", "trailing characters at line 1 column 5"),
        ('{"a":NaN}', "expected value at line 1 column 6"),
    ],
)
def test_search_result_metadata_refuses_damaged_text(testing, stored, description):
    r = testing.search_result("id", 0.0, stored)
    with pytest.raises(ValueError) as err:
        r.metadata
    assert err.value.args == (f"Invalid metadata JSON: {description}",)
    # The repr still shows what is stored, and the other getters still work.
    assert repr(r) == f"SearchResult(id='id', score=0.0000, metadata={stored})"
    assert r.id == "id"


def test_search_result_metadata_raises_a_failed_json_import_unchanged(testing, monkeypatch):
    r = testing.search_result("id", 0.0, "{}")
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError, match="json"):
        r.metadata


# ---- Statistics classes ----

BIG = 2**64 - 1

STATS_CASES = [
    (
        "compact_stats",
        (1, 2, 3, 4),
        "CompactStats(expired_removed=1, tombstones_removed=2, bytes_freed=3, duration_ms=4)",
    ),
    (
        "compact_stats",
        (0, 2**63, BIG, 10),
        f"CompactStats(expired_removed=0, tombstones_removed={2**63}, bytes_freed={BIG}, "
        "duration_ms=10)",
    ),
    ("recovery_stats", (0, 0, 0), "RecoveryStats(promoted=0, rolled_back=0, tombstones=0)"),
    (
        "recovery_stats",
        (7, 2**63, BIG),
        f"RecoveryStats(promoted=7, rolled_back={2**63}, tombstones={BIG})",
    ),
    (
        "import_stats",
        (5, 0, 1, 12),
        "ImportStats(imported=5, skipped=0, failed=1, duration_ms=12)",
    ),
    (
        "import_stats",
        (BIG, 2**63, 2**63 - 1, 0),
        f"ImportStats(imported={BIG}, skipped={2**63}, failed={2**63 - 1}, duration_ms=0)",
    ),
]


@pytest.mark.parametrize("maker, values, text", STATS_CASES)
def test_stats_getters_and_repr(testing, maker, values, text):
    obj = getattr(testing, maker)(*values)
    props = [prop for prop, _ in PROPERTIES[type(obj).__name__]]
    got = tuple(getattr(obj, prop) for prop in props)
    assert got == values
    assert all(type(v) is int and v >= 0 for v in got)
    assert repr(obj) == text


# ---- Core errors as exceptions ----


@pytest.mark.parametrize("exc_type", [ValueError, KeyError, OSError])
@pytest.mark.parametrize(
    "text, message",
    [
        (b"disk full", "I/O error: disk full"),
        ("é 'x'".encode(), "I/O error: é 'x'"),
        (b"bad \xff byte", "I/O error: bad \ufffd byte"),  # a damaged byte never hides the error
    ],
)
def test_core_error_becomes_the_members_exception_with_one_argument(
    testing, exc_type, text, message
):
    with pytest.raises(exc_type) as err:
        testing.raise_io_error(exc_type, text)
    assert type(err.value) is exc_type
    assert err.value.args == (message,)
