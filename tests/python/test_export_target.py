"""Where export_to_file writes: never onto a file name the open database reserves, however
the path spells it and whether or not the file is there yet, never over a file the caller
may not write, and an existing target is replaced whole or left as it was."""

import gc
import hashlib
import os
import pwd
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import pytest

import tornquil
from test_hnsw import give_graph_params, graph_params

D = 8


def child(script, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), OPENBLAS_NUM_THREADS="1")
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                          env=env, capture_output=True, text=True, timeout=120)


def answers(db):
    """What the database answers: collections, lengths, every record, a search each."""
    out = {}
    q = np.linspace(-1, 1, D).astype(np.float32)
    for name in db.collections():
        c = db.get_collection(name)
        records = {}
        for i in range(0, 400, 7):
            got = c.get(f"{name}-{i:04d}")
            records[i] = None if got is None else got.metadata
        out[name] = (len(c), records, [(h.id, h.score) for h in c.search(q, 5)])
    return out


@pytest.fixture(scope="module")
def database(tmp_path_factory):
    """A database of two collections, one with a graph index saved beside it, closed."""
    path = str(tmp_path_factory.mktemp("own") / "db")
    db = tornquil.Tornquil(path)
    db.collection("c", D, "l2")
    del db
    gc.collect()
    give_graph_params(path, "c", graph_params())
    db = tornquil.Tornquil(path)
    rng = np.random.default_rng(3)
    for name, n in (("c", 400), ("other", 120)):
        c = db.collection(name, D, "l2")
        # Clustered, with near-duplicates: the shapes an agent's memory has.
        centres = rng.standard_normal((4, D)).astype(np.float32)
        rows = centres[np.arange(n) % 4] + 0.01 * rng.standard_normal((n, D)).astype(np.float32)
        c.add_batch(rows, [{"i": i, "k": i % 3} for i in range(n)],
                    ids=[f"{name}-{i:04d}" for i in range(n)])
        c.sync()
    assert os.path.exists(os.path.join(path, "collections", "c", "hnsw.index"))
    want = answers(db)
    del c, db
    gc.collect()
    return path, want


EXPORT_ONTO = """
import sys, tornquil
path, target = sys.argv[1], sys.argv[2]
name = sys.argv[3] if len(sys.argv) > 3 else "c"
db = tornquil.Tornquil(path)
c = db.get_collection(name)
before = (len(c), c.get(name + "-0007").metadata)
try:
    c.export_to_file(target)
except OSError as e:
    assert type(e) is OSError
    print(e.args[0])
else:
    raise SystemExit("exported onto " + target)
assert (len(c), c.get(name + "-0007").metadata) == before
assert c.search([0.5] * %(d)d, 3)
""" % {"d": D}


@pytest.mark.parametrize("target, own", [
    ("meta.redb", "meta.redb"),
    ("meta.redb-lock", "meta.redb-lock"),
    ("collections/c/vectors.bin", "collections/c/vectors.bin"),
    ("collections/c/meta.redb", "collections/c/meta.redb"),
    ("collections/c/meta.redb-lock", "collections/c/meta.redb-lock"),
    ("collections/c/hnsw.index", "collections/c/hnsw.index"),
    ("collections/other/vectors.bin", "collections/other/vectors.bin"),
    ("collections/other/meta.redb", "collections/other/meta.redb"),
    ("collections/other/../c/./vectors.bin", "collections/c/vectors.bin"),
    ("@symlink", "collections/c/vectors.bin"),
    ("@hardlink", "meta.redb"),
])
def test_export_onto_a_file_of_the_database_is_refused(database, tmp_path, target, own):
    path, want = database
    files = ["meta.redb", "collections/c/vectors.bin", "collections/c/meta.redb",
             "collections/c/hnsw.index", "collections/other/vectors.bin",
             "collections/other/meta.redb"]

    def digests():
        return {f: hashlib.sha256(open(os.path.join(path, f), "rb").read()).hexdigest()
                for f in files}

    before = digests()
    if target == "@symlink":
        full = str(tmp_path / "link.ndjson")
        os.symlink(os.path.join(path, own), full)
    elif target == "@hardlink":
        full = str(tmp_path / "hard.ndjson")
        os.link(os.path.join(path, own), full)
    else:
        full = os.path.join(path, target)
    r = child(EXPORT_ONTO, path, full)
    assert r.returncode == 0, r.stderr  # a signal shows here
    assert r.stdout.startswith(f"I/O error: export target {full} is a file of the open database: ")
    named = r.stdout.strip().rsplit(": ", 1)[1]
    assert os.path.samefile(named, os.path.join(path, own)), named
    assert digests() == before
    assert not [n for n in os.listdir(os.path.dirname(full)) if ".tmp-" in n]
    db = tornquil.Tornquil(path)
    assert answers(db) == want


@pytest.mark.parametrize("name, target, reserved", [
    # A collection without a saved index: its own index's name, and that name from another.
    ("other", "collections/other/hnsw.index", "collections/other/hnsw.index"),
    ("c", "collections/other/hnsw.index", "collections/other/hnsw.index"),
    ("c", "collections/c/../other/./hnsw.index", "collections/other/hnsw.index"),
    ("other", "collections/other/hnsw.index/", "collections/other/hnsw.index"),
    ("c", "@dirlink/hnsw.index", "collections/other/hnsw.index"),
    ("other", "@dirlink/../c/../other/hnsw.index", "collections/other/hnsw.index"),
    # A directory under collections/ that holds no collection yet: a store written there
    # would be opened as damaged when a collection of that name is made.
    ("c", "collections/ghost/meta.redb", "collections/ghost/meta.redb"),
    ("c", "collections/ghost/vectors.bin", "collections/ghost/vectors.bin"),
    ("other", "collections/ghost/meta.redb-lock", "collections/ghost/meta.redb-lock"),
])
def test_export_onto_a_reserved_name_not_there_yet_is_refused(database, tmp_path, name, target,
                                                              reserved):
    path, want = database
    assert not os.path.exists(os.path.join(path, "collections", "other", "hnsw.index"))
    ghost = os.path.join(path, "collections", "ghost")
    os.mkdir(ghost)
    try:
        if target.startswith("@dirlink"):
            os.symlink(os.path.join(path, "collections", "other"), tmp_path / "dirlink")
            full = str(tmp_path) + target[1:].replace("dirlink", "/dirlink", 1)
        else:
            full = os.path.join(path, target)
        r = child(EXPORT_ONTO, path, full, name)
        assert r.returncode == 0, r.stderr
        assert r.stdout.startswith(
            f"I/O error: export target {full} is a file of the open database: "), r.stdout
        named = r.stdout.strip().rsplit(": ", 1)[1]
        assert os.path.realpath(named) == os.path.realpath(os.path.join(path, reserved)), named
        # Nothing appeared: neither the file nor a temporary one beside it.
        assert not os.path.lexists(os.path.join(path, reserved))
        for d in ("other", "ghost"):
            assert not [n for n in os.listdir(os.path.join(path, "collections", d))
                        if ".tmp-" in n or n == "hnsw.index"]
        assert os.listdir(ghost) == []
    finally:
        os.rmdir(ghost)
    db = tornquil.Tornquil(path)
    assert answers(db) == want
    # A name beside the reserved ones is an ordinary target.
    c = db.get_collection(name)
    beside = os.path.join(path, "collections", "other", "notes.ndjson")
    assert c.export_to_file(beside) == len(c)
    os.remove(beside)


FULL_DISK = """
import resource, signal, sys, tornquil
path, target = sys.argv[1], sys.argv[2]
c = tornquil.Tornquil(path).get_collection("other")
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))  # the export needs more
try:
    c.export_to_file(target)
except OSError as e:
    print(e.args[0])
"""


def test_a_failed_export_leaves_the_existing_target_as_it_was(database, tmp_path):
    path, _ = database
    target = tmp_path / "backup.ndjson"
    target.write_bytes(b"the previous backup\n")
    os.chmod(target, 0o640)
    r = child(FULL_DISK, path, target)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "I/O error: File too large (os error 27)"
    assert target.read_bytes() == b"the previous backup\n"
    assert os.listdir(tmp_path) == ["backup.ndjson"]

    # A complete export replaces it, keeping its permission bits; through a symbolic link
    # the file it points to is replaced and the link stays.
    c = tornquil.Tornquil(path).get_collection("other")
    link = tmp_path / "latest.ndjson"
    link.symlink_to(target)
    assert c.export_to_file(str(link)) == 120
    assert link.is_symlink() and os.path.samefile(link, target)
    assert stat.S_IMODE(os.stat(target).st_mode) == 0o640
    assert len(target.read_text().splitlines()) == 121
    assert sorted(os.listdir(tmp_path)) == ["backup.ndjson", "latest.ndjson"]
    # A device is written in place, never replaced.
    assert c.export_to_file("/dev/null") == 120
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


AS_NOBODY = """
import os, pwd, sys
nobody = pwd.getpwnam("nobody")
os.setgroups([])
os.setgid(nobody.pw_gid)
os.setuid(nobody.pw_uid)
import numpy as np
import tornquil
work = sys.argv[1]
c = tornquil.Tornquil(os.path.join(work, "db")).collection("c", 4, "cosine")
rng = np.random.default_rng(1)
c.add_batch(rng.standard_normal((30, 4)).astype(np.float32), [{"i": i} for i in range(30)],
            ids=[f"r{i:03d}" for i in range(30)])
for name in sys.argv[2:]:
    call = c.import_from_file if name.startswith("<") else c.export_to_file
    try:
        print(name, "ok", call(os.path.join(work, name.lstrip("<"))))
    except OSError as e:
        print(name, type(e).__name__, *e.args)
    assert len(c) == 30
"""


@pytest.fixture
def shared_dir():
    """A directory the user nobody may write, outside the tests' private temporary tree."""
    d = tempfile.mkdtemp(prefix="tornquil-perm-")
    nobody = pwd.getpwnam("nobody")
    os.chown(d, nobody.pw_uid, nobody.pw_gid)
    os.chmod(d, 0o755)
    yield d
    shutil.rmtree(d)


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run a child as another user")
def test_export_refuses_a_target_the_caller_may_not_write(shared_dir):
    nobody = pwd.getpwnam("nobody")
    kept = b"an earlier file\n"
    # name: (owner uid, mode); the owner is root (0) or nobody.
    files = {
        "root-readonly": (0, 0o444),
        "root-private": (0, 0o600),
        "own-readonly": (nobody.pw_uid, 0o444),
        "root-shared": (0, 0o666),
        "own-writable": (nobody.pw_uid, 0o644),
    }
    for name, (uid, mode) in files.items():
        p = os.path.join(shared_dir, name)
        with open(p, "wb") as f:
            f.write(kept)
        os.chown(p, uid, nobody.pw_gid if uid else 0)
        os.chmod(p, mode)
    os.symlink("root-readonly", os.path.join(shared_dir, "link-to-root-readonly"))
    names = ["root-readonly", "root-private", "own-readonly", "link-to-root-readonly",
             "root-shared", "own-writable", "new.ndjson", "<root-private"]
    r = child(AS_NOBODY, shared_dir, *names)
    assert r.returncode == 0, r.stderr
    got = dict(line.split(" ", 1) for line in r.stdout.splitlines())
    denied = "PermissionError I/O error: Permission denied (os error 13)"
    assert got == {
        "root-readonly": denied, "root-private": denied, "own-readonly": denied,
        "link-to-root-readonly": denied, "<root-private": denied,
        "root-shared": "ok 30", "own-writable": "ok 30", "new.ndjson": "ok 30",
    }
    for name in ("root-readonly", "root-private", "own-readonly"):
        p = os.path.join(shared_dir, name)
        st = os.stat(p)
        assert open(p, "rb").read() == kept, name
        assert (st.st_uid, stat.S_IMODE(st.st_mode)) == files[name], name
    assert os.path.islink(os.path.join(shared_dir, "link-to-root-readonly"))
    for name in ("root-shared", "own-writable", "new.ndjson"):
        with open(os.path.join(shared_dir, name)) as f:
            assert len(f.read().splitlines()) == 31, name
    # A file others may write keeps its permission bits when it is replaced.
    assert stat.S_IMODE(os.stat(os.path.join(shared_dir, "root-shared")).st_mode) == 0o666
    assert not [n for n in os.listdir(shared_dir) if ".tmp-" in n]
