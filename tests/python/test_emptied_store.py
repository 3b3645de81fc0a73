"""A store file cut to nothing is not a new store when its records are known to have existed:
a collection whose vector file holds allocated slots, or a database whose collections/
directory holds collections. Opening it as new would answer len 0 and an empty listing
while the vectors and directories are all still there."""

import os

import numpy as np
import pytest

import tornquil


def make_db(path, adds):
    """A database with collection "c" holding `adds` synced records, closed again."""
    db = tornquil.Tornquil(path)
    c = db.collection("c", 4, "l2")
    for i in range(adds):
        c.add(np.full(4, i, np.float32), {"i": i}, id=f"r{i}")
    c.sync()
    del c, db


def empty_file(p):
    os.truncate(p, 0)


def test_collection_store_emptied_under_held_slots_is_refused(path):
    make_db(path, 3)
    meta = os.path.join(path, "collections", "c", "meta.redb")
    empty_file(meta)
    want = f"Data corruption: {meta}: file is empty, but vectors.bin holds 3 allocated slots"
    db = tornquil.Tornquil(path)
    with pytest.raises(ValueError) as e:
        db.collection("c", 4, "l2")
    assert str(e.value) == want
    with pytest.raises(KeyError) as e:
        db.get_collection("c")
    assert e.value.args[0] == want
    # The refusal changed nothing: the file is still empty, the vectors still there.
    assert os.path.getsize(meta) == 0
    assert os.path.getsize(os.path.join(path, "collections", "c", "vectors.bin")) > 64
    # Another collection of the same database still opens and works.
    other = db.collection("other", 4, "l2")
    other.add(np.ones(4, np.float32), {}, id="x")
    assert len(other) == 1


def test_root_store_emptied_under_collection_directories_is_refused(path):
    make_db(path, 1)
    root = os.path.join(path, "meta.redb")
    empty_file(root)
    with pytest.raises(OSError) as e:
        tornquil.Tornquil(path)
    assert str(e.value) == (f"Data corruption: {root}: file is empty, "
                            "but collections/ holds 1 collection directory")
    assert os.path.getsize(root) == 0


@pytest.mark.parametrize("case", ["new database", "collection without slots",
                                  "root without collection directories"])
def test_empty_stores_that_lost_nothing_still_open(path, case):
    if case == "new database":
        db = tornquil.Tornquil(path)
        assert db.collections() == []
        return
    if case == "collection without slots":
        db = tornquil.Tornquil(path)
        db.collection("c", 4, "l2")
        del db
        empty_file(os.path.join(path, "collections", "c", "meta.redb"))
        db = tornquil.Tornquil(path)
        c = db.collection("c", 4, "l2")
        assert len(c) == 0
        c.add(np.ones(4, np.float32), {}, id="x")
        assert c.get("x") is not None
        return
    # An empty root beside an empty collections/ directory (and a stray non-collection
    # directory) is a new registry.
    tornquil.Tornquil(path)
    os.makedirs(os.path.join(path, "collections", "stray"))
    empty_file(os.path.join(path, "meta.redb"))
    assert tornquil.Tornquil(path).collections() == []
