"""The database handle Tornquil: opening a directory, creating, opening, listing, dropping
and syncing collections, the cache of open collections, and the argument rules."""

import gc
import os
import pathlib
import subprocess
import sys

import pytest

import tornquil

LOCKED = "Database error: Database already open. Cannot acquire lock."


def raises(exc_type, call, *args, **kwargs):
    """The single argument of the exception `call` raises, checking its exact type."""
    with pytest.raises(exc_type) as err:
        call(*args, **kwargs)
    assert type(err.value) is exc_type
    assert len(err.value.args) == 1
    return err.value.args[0]


# ---- Methods: signatures and docstrings ----

METHOD_DOCS = {
    "collection": (
        '($self, name, dim, metric="cosine")',
        "Get or create a collection.\n\nArgs:\n    name: Collection name.\n"
        "    dim: Vector dimensions.\n"
        '    metric: Distance metric ("cosine", "dot", or "l2").\n\n'
        "Returns:\n    The Collection object.",
    ),
    "get_collection": (
        "($self, name)",
        "Get an existing collection.\n\nArgs:\n    name: Collection name.\n\n"
        "Returns:\n    The Collection object.\n\nRaises:\n"
        "    KeyError: If collection does not exist.",
    ),
    "collections": (
        "($self)",
        "List all collection names.\n\nReturns:\n    List of collection names.",
    ),
    "drop_collection": (
        "($self, name)",
        "Delete a collection and all its data.\n\nArgs:\n    name: Collection name.",
    ),
    "sync": ("($self)", "Flush all pending writes to disk."),
    "recovery_stats": (
        "($self)",
        "Get recovery statistics from database open.\n\n"
        "Returns:\n    RecoveryStats with details about crash recovery.",
    ),
}


@pytest.mark.parametrize("name", sorted(METHOD_DOCS))
def test_method_signatures_and_docstrings(name):
    method = getattr(tornquil.Tornquil, name)
    signature, doc = METHOD_DOCS[name]
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


@pytest.mark.parametrize("name", ["collections", "sync", "recovery_stats"])
def test_methods_without_arguments_refuse_any(db, name):
    with pytest.raises(TypeError):
        getattr(db, name)(1)


# ---- Constructor ----


def test_constructor_creates_the_directory_tree(tmp_path):
    p = tmp_path / "a" / "b" / "db"
    db = tornquil.Tornquil(str(p))
    assert (p / "collections").is_dir()
    assert (p / "meta.redb").is_file()
    assert db.collections() == []
    assert repr(db) == "Tornquil(collections=0)"
    assert sorted(os.listdir(p)) == ["collections", "meta.redb", "meta.redb-lock"]


def test_constructor_accepts_the_path_by_keyword_and_reopens_without_truncating(path):
    db = tornquil.Tornquil(path=path)
    db.collection("kept", 2)
    del db
    assert tornquil.Tornquil(path).collections() == ["kept"]


def test_an_empty_path_opens_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = tornquil.Tornquil("")
    db.collection("here", 2)
    assert (tmp_path / "meta.redb").is_file()
    assert (tmp_path / "collections" / "here" / "vectors.bin").is_file()


def test_a_second_handle_on_the_same_path_is_refused_until_the_first_goes(path):
    first = tornquil.Tornquil(path)
    assert raises(OSError, tornquil.Tornquil, path) == LOCKED
    # The refused opener closed only its own descriptor: the first handle still works.
    first.collection("a", 2)
    del first
    gc.collect()
    assert tornquil.Tornquil(path).collections() == ["a"]


def test_a_path_that_is_a_file_fails_with_an_io_error(tmp_path):
    f = tmp_path / "file"
    f.write_text("x")
    assert raises(OSError, tornquil.Tornquil, str(f)).startswith("I/O error: ")


@pytest.mark.parametrize("tail", ["a\0b", "a\0", "\0", "a/\0/b"])
def test_a_path_with_a_nul_byte_is_refused_before_anything_is_created(tmp_path, tail):
    # The system would read the path only up to the NUL and work on another directory.
    assert raises(OSError, tornquil.Tornquil, f"{tmp_path}/{tail}") == (
        "Invalid input: Path contains a NUL byte")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Tornquil.__new__() missing 1 required positional argument: 'path'"),
        (("a", "b"), {}, "Tornquil.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"path": "b"}, "Tornquil.__new__() got multiple values for argument 'path'"),
        ((), {"dir": "a"}, "Tornquil.__new__() got an unexpected keyword argument 'dir'"),
        ((pathlib.Path("x"),), {},
         "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"),
        ((b"x",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((None,), {}, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_constructor_argument_errors(tmp_path, monkeypatch, args, kwargs, message):
    monkeypatch.chdir(tmp_path)
    assert raises(TypeError, tornquil.Tornquil, *args, **kwargs) == message
    assert os.listdir(tmp_path) == []


def test_a_path_that_is_not_utf8_encodable_raises_unicode_encode_error(tmp_path):
    with pytest.raises(UnicodeEncodeError):
        tornquil.Tornquil(str(tmp_path) + "/\udcff")


# ---- collection ----


@pytest.mark.parametrize(
    "metric, name",
    [
        ("cosine", "cosine"),
        ("COSINE", "cosine"),
        ("Dot", "dot"),
        ("l2", "l2"),
        ("L2", "l2"),
        ("euclidean", "l2"),
        ("EUCLIDEAN", "l2"),
    ],
)
def test_metric_names_are_matched_after_lower_casing(db, metric, name):
    c = db.collection("c", 3, metric)
    assert c.metric == name
    assert c.dimensions == 3


@pytest.mark.parametrize("metric", ["manhattan", "", "cosine ", "COSİNE", "ｄｏｔ", "l２"])
def test_unknown_metrics_are_quoted_as_given(db, metric):
    message = raises(ValueError, db.collection, "c", 3, metric)
    assert message == f"Invalid metric '{metric}'. Expected: cosine, dot, l2"
    assert db.collections() == []


def test_metric_lower_casing_is_str_lower_even_for_subclasses(db):
    class Shouting(str):
        def lower(self):
            return "dot"

    # str.lower itself decides, not an override of it.
    assert db.collection("c", 3, Shouting("COSINE")).metric == "cosine"


@pytest.mark.parametrize(
    "args, exc, message",
    [
        (("c", 0), ValueError, "Invalid input: Dimensions must be greater than 0"),
        (("c", 65537), ValueError, "Dimensions too large: maximum is 65536, got 65537"),
        (("c", 2**64 - 1), ValueError, "Dimensions too large: maximum is 65536, got 18446744073709551615"),
        (("c", 0, "manhattan"), ValueError, "Invalid metric 'manhattan'. Expected: cosine, dot, l2"),
        (("c", -1), OverflowError, "can't convert negative int to unsigned"),
        (("c", 2**64), OverflowError, "int too big to convert"),
        (("c", 3.0), TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
        (("c", "3"), TypeError, "argument 'dim': 'str' object cannot be interpreted as an integer"),
        (("c", 3, None), TypeError, "argument 'metric': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"c", 3), TypeError, "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        # The first bad argument decides.
        ((1, "x", None), TypeError, "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (("c",), TypeError, "Tornquil.collection() missing 1 required positional argument: 'dim'"),
        ((), TypeError, "Tornquil.collection() missing 2 required positional arguments: 'name' and 'dim'"),
        (("c", 3, "dot", 4), TypeError,
         "Tornquil.collection() takes from 2 to 3 positional arguments but 4 were given"),
    ],
)
def test_collection_argument_and_dimension_errors(db, args, exc, message):
    assert raises(exc, db.collection, *args) == message
    assert db.collections() == []


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"name": "c", "dim": 3, "size": 1}, "Tornquil.collection() got an unexpected keyword argument 'size'"),
        ({"dim": 3}, "Tornquil.collection() missing 1 required positional argument: 'name'"),
    ],
)
def test_collection_keyword_errors(db, kwargs, message):
    assert raises(TypeError, db.collection, **kwargs) == message
    assert raises(TypeError, db.collection, "c", 3, dim=3) == (
        "Tornquil.collection() got multiple values for argument 'dim'"
    )


def test_collection_takes_every_argument_by_keyword(db):
    c = db.collection(metric="l2", dim=4, name="kw")
    assert (c.name, c.dimensions, c.metric) == ("kw", 4, "l2")


def test_dimension_limits(db):
    assert db.collection("max", 65536).dimensions == 65536
    assert db.collection("one", 1).dimensions == 1
    assert db.collection("index", True).dimensions == 1  # an int subclass


def test_collection_dimension_checks_apply_to_registered_names(db):
    db.collection("c", 3)
    assert raises(ValueError, db.collection, "c", 0) == "Invalid input: Dimensions must be greater than 0"
    assert raises(ValueError, db.collection, "c", 70000) == (
        "Dimensions too large: maximum is 65536, got 70000"
    )


def test_the_same_name_gives_distinct_objects_on_one_collection(db):
    a = db.collection("notes", 3)
    b = db.collection("notes", 3, "COSINE")
    assert a is not b
    rid = a.add([1.0, 0.0, 0.0], {"k": 1})  # still buffered
    assert b.get(rid).metadata == {"k": 1}
    assert len(b) == 1
    b.sync()
    assert a.get(rid).metadata == {"k": 1}


def test_an_open_collection_refuses_other_dimensions_or_metric(db):
    db.collection("a", 3)
    assert raises(ValueError, db.collection, "a", 4) == "Dimension mismatch: expected 3, got 4"
    assert raises(ValueError, db.collection, "a", 3, "l2") == (
        "Collection already exists: Collection 'a' exists with metric Cosine, not L2"
    )
    # Dimensions are compared first.
    assert raises(ValueError, db.collection, "a", 4, "dot") == "Dimension mismatch: expected 3, got 4"
    db.collection("e", 2, "l2")
    assert db.collection("e", 2, "Euclidean").metric == "l2"


def test_the_registry_check_comes_before_any_open(path):
    db = tornquil.Tornquil(path)
    survivor = db.collection("a", 3, "dot")
    del db
    gc.collect()
    db = tornquil.Tornquil(path)
    # The collection's own store is still held by `survivor`, so any open would fail with
    # the lock error: these come from the stored configuration alone.
    assert raises(ValueError, db.collection, "a", 4, "dot") == "Dimension mismatch: expected 3, got 4"
    assert raises(ValueError, db.collection, "a", 3) == (
        "Collection already exists: Collection 'a' exists with metric Dot, not Cosine"
    )
    assert raises(ValueError, db.collection, "a", 3, "dot") == LOCKED
    assert raises(KeyError, db.get_collection, "a") == LOCKED
    # The survivor keeps working on its own, and once it goes the collection opens again.
    survivor.add([1.0, 2.0, 3.0], {}, id="x")
    del survivor
    gc.collect()
    c = db.get_collection("a")
    assert (c.dimensions, c.metric) == (3, "dot")
    assert c.get("x") is not None


def test_a_failed_open_leaves_the_name_registered(path):
    db = tornquil.Tornquil(path)
    # A file where the collection's directory belongs makes its open fail.
    pathlib.Path(path, "collections", "blocked").write_text("not a directory")
    assert raises(ValueError, db.collection, "blocked", 3).startswith("I/O error: ")
    assert db.collections() == ["blocked"]
    assert raises(KeyError, db.get_collection, "blocked").startswith("I/O error: ")
    os.remove(os.path.join(path, "collections", "blocked"))
    assert db.collection("blocked", 3).dimensions == 3


# ---- Collection names that are not directory names ----

BAD_NAMES = [
    ("", "the name is empty"),
    (".", "'.' and '..' are not allowed"),
    ("..", "'.' and '..' are not allowed"),
    ("a/b", "the name contains a path separator"),
    ("../escape", "the name contains a path separator"),
    ("/abs", "the name contains a path separator"),
    ("a\\b", "the name contains a path separator"),
    ("a\0b", "the name contains a NUL character"),
    ("x" * 256, "the name is 256 bytes long (at most 255)"),
    ("é" * 128, "the name is 256 bytes long (at most 255)"),
]


@pytest.mark.parametrize("name, reason", BAD_NAMES)
def test_names_that_are_not_plain_directory_names_are_refused(path, name, reason):
    db = tornquil.Tornquil(path)
    message = f"Invalid collection name '{name}': {reason}"
    before = sorted(os.walk(os.path.dirname(path)))
    assert raises(ValueError, db.collection, name, 3) == message
    assert raises(KeyError, db.get_collection, name) == message
    assert raises(OSError, db.drop_collection, name) == message
    assert db.collections() == []
    assert sorted(os.walk(os.path.dirname(path))) == before
    assert os.path.isfile(os.path.join(path, "meta.redb"))


def test_the_longest_and_unusual_names_still_work(db):
    names = ["x" * 255, "é" * 127, "with space", "dots.in.name", "...", "'quoted'", "Ünïcödé"]
    for name in names:
        db.collection(name, 2).add([1.0, 0.0], {}, id="r")
    assert db.collections() == sorted(names, key=lambda n: n.encode())
    for name in names:
        assert db.get_collection(name).get("r") is not None
        assert db.drop_collection(name) is None
    assert db.collections() == []


# ---- get_collection, collections, drop_collection ----


def test_get_collection_of_an_unregistered_name(db):
    with pytest.raises(KeyError) as err:
        db.get_collection("nope")
    assert err.value.args == ("Collection not found: nope",)


def test_get_collection_opens_with_the_stored_configuration(path):
    db = tornquil.Tornquil(path)
    db.collection("a", 5, "l2")
    del db
    gc.collect()
    c = tornquil.Tornquil(path).get_collection(name="a")
    assert (c.name, c.dimensions, c.metric) == ("a", 5, "l2")


def test_collections_lists_registered_names_in_byte_order(path):
    db = tornquil.Tornquil(path)
    for name in ["a", "B", "é", "Z", "b"]:
        db.collection(name, 2)
    del db
    gc.collect()
    db = tornquil.Tornquil(path)
    assert db.collections() == ["B", "Z", "a", "b", "é"]  # none of them opened here
    assert repr(db) == "Tornquil(collections=5)"


def test_drop_collection_removes_entry_directory_and_cache(path):
    db = tornquil.Tornquil(path)
    c = db.collection("gone", 2)
    c.add([1.0, 0.0], {}, id="x")
    c.sync()
    directory = pathlib.Path(path, "collections", "gone")
    assert directory.is_dir()
    assert db.drop_collection("gone") is None
    assert db.collections() == []
    assert not directory.exists()
    assert raises(KeyError, db.get_collection, "gone") == "Collection not found: gone"
    # A new collection of that name starts empty, beside the old object.
    fresh = db.collection("gone", 4)
    assert len(fresh) == 0 and fresh.dimensions == 4


def test_drop_collection_of_an_unregistered_name_changes_nothing(path):
    db = tornquil.Tornquil(path)
    db.collection("kept", 2)
    stray = pathlib.Path(path, "collections", "stray")
    stray.mkdir()
    (stray / "file").write_text("mine")
    assert db.drop_collection("stray") is None
    assert db.drop_collection(name="never") is None
    assert (stray / "file").read_text() == "mine"
    assert db.collections() == ["kept"]


# Every member of a Collection whose collection was dropped, with the exception type it
# raises for a CoreError.
DROPPED_CALLS = [
    ("add", ValueError, lambda c, f: c.add([0.0, 1.0], {}, id="y")),
    ("upsert", ValueError, lambda c, f: c.upsert("x", [0.0, 1.0], {})),
    ("add_batch", ValueError, lambda c, f: c.add_batch([[0.0, 1.0]], [{}], ids=["y"])),
    ("get", ValueError, lambda c, f: c.get("x")),
    ("delete", ValueError, lambda c, f: c.delete("x")),
    ("search", ValueError, lambda c, f: c.search([1.0, 0.0], 2)),
    ("len", OSError, lambda c, f: len(c)),
    ("sync", OSError, lambda c, f: c.sync()),
    ("preload", OSError, lambda c, f: c.preload()),
    ("compact", OSError, lambda c, f: c.compact()),
    ("export_to_file", OSError, lambda c, f: c.export_to_file(f)),
    ("import_from_file", OSError, lambda c, f: c.import_from_file(f)),
]


@pytest.mark.parametrize("again", [False, True], ids=["dropped", "dropped-and-created-again"])
@pytest.mark.parametrize("member, exc, call", DROPPED_CALLS, ids=[m for m, _, _ in DROPPED_CALLS])
def test_a_dropped_collection_refuses_every_operation(path, tmp_path, member, exc, call, again):
    db = tornquil.Tornquil(path)
    source = db.collection("src", 2, "dot")
    source.add([0.0, 1.0], {"from": "file"}, id="y")
    ndjson = str(tmp_path / "records.ndjson")
    assert source.export_to_file(ndjson) == 1
    before = open(ndjson).read()

    old = db.collection("c", 2, "dot")
    old.add([1.0, 0.0], {}, id="x")
    old.sync()
    old.add([1.0, 1.0], {}, id="buffered")  # left in the buffer
    db.drop_collection("c")
    if again:
        new = db.collection("c", 2, "dot")
        new.add([1.0, 0.0], {"new": True}, id="x")
        new.sync()
    assert raises(exc, call, old, ndjson) == "Collection not found: c"
    # The properties still answer.
    assert (old.name, old.dimensions, old.metric) == ("c", 2, "dot")
    # Nothing was written: not into the file, nor into the collection of that name.
    assert open(ndjson).read() == before
    del old
    gc.collect()  # its release flush writes nothing either
    db.sync()
    if again:
        c = db.get_collection("c")
        assert len(c) == 1 and c.get("x").metadata == {"new": True}
        assert c.get("y") is None and c.get("buffered") is None
    else:
        assert db.collections() == ["src"]
        assert not os.path.exists(os.path.join(path, "collections", "c"))
        assert raises(KeyError, db.get_collection, "c") == "Collection not found: c"


def test_a_dropped_collection_is_refused_through_every_handle(path):
    db = tornquil.Tornquil(path)
    old = db.collection("c", 2, "dot")
    old.add([1.0, 0.0], {}, id="x")
    del db
    gc.collect()  # the object outlives its handle
    db = tornquil.Tornquil(path)
    db.drop_collection("c")
    assert raises(ValueError, old.add, [0.0, 1.0], {}) == "Collection not found: c"
    del old
    gc.collect()
    assert db.collections() == []
    assert not os.path.exists(os.path.join(path, "collections", "c"))


# The database opened through one spelling of its path, and dropped through another.
SPELLINGS = [
    ("a/db", "a/./db"),
    ("a/db", "a/db/"),
    ("a/db", "link/db"),  # link -> a
    ("a/db", "a/../a/db"),
    ("absolute", "a/db"),
    ("a/db", "absolute"),
]


@pytest.mark.parametrize("open_as, drop_as", SPELLINGS, ids=[f"{o}-{d}" for o, d in SPELLINGS])
def test_a_drop_through_another_spelling_of_the_path_reaches_every_object(
        tmp_path, monkeypatch, open_as, drop_as):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a").mkdir()
    (tmp_path / "link").symlink_to(tmp_path / "a", target_is_directory=True)
    spell = lambda p: str(tmp_path / "a" / "db") if p == "absolute" else p
    ndjson = str(tmp_path / "records.ndjson")
    source = tornquil.Tornquil(str(tmp_path / "other")).collection("src", 2, "dot")
    source.add([0.0, 1.0], {"from": "file"}, id="y")
    assert source.export_to_file(ndjson) == 1
    before = open(ndjson).read()

    db = tornquil.Tornquil(spell(open_as))
    old = db.collection("c", 2, "dot")
    old.add([1.0, 0.0], {}, id="x")
    old.sync()
    old.add([1.0, 1.0], {}, id="buffered")  # left in the buffer
    del db
    gc.collect()  # the object outlives its handle

    db = tornquil.Tornquil(spell(drop_as))
    db.drop_collection("c")
    assert not (tmp_path / "a" / "db" / "collections" / "c").exists()
    for member, exc, call in DROPPED_CALLS:
        assert raises(exc, call, old, ndjson) == "Collection not found: c", member
    assert open(ndjson).read() == before
    del old
    gc.collect()  # its release flush writes nothing either
    fresh = db.collection("c", 2, "dot")
    assert len(fresh) == 0
    assert fresh.get("x") is None and fresh.get("y") is None and fresh.get("buffered") is None


def test_a_registry_entry_whose_directory_is_missing_opens_empty(path):
    db = tornquil.Tornquil(path)
    db.collection("c", 2).add([1.0, 0.0], {}, id="x")
    db.sync()
    del db
    gc.collect()
    import shutil

    shutil.rmtree(os.path.join(path, "collections", "c"))
    db = tornquil.Tornquil(path)
    c = db.get_collection("c")
    assert len(c) == 0 and c.get("x") is None


# ---- sync, recovery_stats, repr, release ----


def test_sync_with_nothing_open_returns_none(db):
    assert db.sync() is None


# Lists the record ids of a collection's store from another process, as committed.
READ_IDS = """
import sys, lmdb
env = lmdb.open(sys.argv[1], subdir=False, readonly=True, lock=False, max_dbs=4)
try:
    table = env.open_db(b"records", create=False)
except lmdb.NotFoundError:
    raise SystemExit(0)
with env.begin() as txn:
    for key, _ in txn.cursor(table):
        print(key[:-1].decode())
"""


def committed_ids(path, name):
    store = os.path.join(path, "collections", name, "meta.redb")
    out = subprocess.run([sys.executable, "-c", READ_IDS, store], capture_output=True, text=True,
                         check=True)
    return out.stdout.split()


def test_sync_commits_every_cached_collection(path):
    db = tornquil.Tornquil(path)
    objects = [db.collection(name, 2) for name in ["a", "b", "c"]]
    for i, c in enumerate(objects):
        c.add([1.0, 0.0], {}, id=f"r{i}")
    assert db.sync() is None
    assert [committed_ids(path, name) for name in ["a", "b", "c"]] == [["r0"], ["r1"], ["r2"]]


def test_recovery_stats_are_always_zero(db):
    stats = db.recovery_stats()
    assert type(stats) is tornquil.RecoveryStats
    assert (stats.promoted, stats.rolled_back, stats.tombstones) == (0, 0, 0)
    assert repr(stats) == "RecoveryStats(promoted=0, rolled_back=0, tombstones=0)"


def test_repr_counts_registered_names(db):
    db.collection("a", 2)
    db.collection("b", 2)
    assert repr(db) == "Tornquil(collections=2)"
    db.drop_collection("a")
    assert repr(db) == "Tornquil(collections=1)"


def test_releasing_the_handle_and_its_objects_keeps_buffered_records(path):
    db = tornquil.Tornquil(path)
    c = db.collection("c", 2)
    ids = [c.add([1.0, float(i)], {"i": i}) for i in range(5)]  # all still buffered
    del c, db
    gc.collect()
    c = tornquil.Tornquil(path).get_collection("c")
    assert len(c) == 5
    assert [c.get(i).metadata for i in ids] == [{"i": i} for i in range(5)]


def test_a_collection_object_may_outlive_its_handle(path):
    db = tornquil.Tornquil(path)
    c = db.collection("c", 2)
    del db
    gc.collect()
    rid = c.add([1.0, 0.0], {})
    c.sync()
    assert c.get(rid) is not None
    # The registry lock went with the handle.
    assert tornquil.Tornquil(path).collections() == ["c"]
