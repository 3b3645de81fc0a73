"""Running out of memory: every method raises MemoryError (or its own error for a failure
it reports, such as an import's line that is too long), never ends the process, and the
collection answers as before once memory is back.

Each case runs in a child process whose address space is capped a little above what it
uses once the database is open and the worker pool has started its threads; the child
tries the operation under several caps, lifting the cap after each try to check the
collection. A signal or an abort fails the test. The collections hold data shaped like a
user's: clustered vectors with duplicates and outliers, zero-padded ids, metadata, loaded
in steps with some records still buffered."""

import json
import os
import shutil
import subprocess

import pytest

from helpers import child

ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
TSAN = "libtsan" in os.environ.get("LD_PRELOAD", "")
capped = pytest.mark.skipif(
    ASAN or TSAN, reason="a sanitizer's own memory cannot live under an address-space limit")

D = 32

# The child: builds the collection, then tries `op` under each cap. Prints one JSON line
# per try: what it raised ("ok" when nothing), and the count once the cap was lifted.
CHILD = """
import json, os, resource, sys
import numpy as np
import tornquil

D = 32
path, op, extra = sys.argv[1], sys.argv[2], sys.argv[3]
rng = np.random.default_rng(7)


def clustered(n, seed):
    r = np.random.default_rng(seed)
    centres = r.standard_normal((8, D)).astype(np.float32) * 4
    v = centres[r.integers(0, 8, n)] + r.standard_normal((n, D)).astype(np.float32) * 0.1
    v[::97] = v[0]                      # duplicates
    v[5::211] *= 1000                   # outliers
    return v


db = tornquil.Tornquil(path)
c = db.collection("c", D, "cosine")
known = {}
for step in range(3):                   # a collection that grows in steps
    rows = clustered(4000, step)
    ids = [f"doc-{step}-{i:06d}" for i in range(len(rows))]
    c.add_batch(rows, [{"step": step, "i": i, "tag": "t" * (i % 7)} for i in range(len(rows))],
                ids=ids)
    known.update({ids[i]: rows[i] for i in range(0, len(rows), 500)})
for i in range(30):                     # buffered: never flushed before the cap
    rid = f"buf-{i:03d}"
    v = clustered(1, 100 + i)[0]
    c.add(v, {"buffered": i}, id=rid)
    known[rid] = v
c.upsert("doc-0-000000", known["doc-0-000000"], {"replaced": True})
queries = [known[k] for k in sorted(known)[:5]]


def answers():
    # What the collection answers for the records the test knows, but those the operation
    # replaces.
    kept = [k for k in known if not (op == "upsert" and k.startswith("doc-1-"))]
    got = {k: (c.get(k).metadata if c.get(k) is not None else None) for k in kept}
    hits = [[(h.id, h.score) for h in c.search(q, 5)] for q in queries]
    return got, hits


before_count = len(c)
before = answers()

# The workers' threads and their stacks exist before the cap: warm the pool.
for _ in range(3):
    c.search(queries[0], 10)
    c.search(queries[1], 10, where_={"step": 1})

if op == "import":
    c2 = db.collection("exported", D, "cosine")
    rows = clustered(6000, 50)
    c2.add_batch(rows, [{"i": i, "text": "x" * 40} for i in range(len(rows))],
                 ids=[f"imp-{i:06d}" for i in range(len(rows))])
    c2.export_to_file(extra)
    del c2
if op in ("add", "upsert"):
    one = clustered(64, 70)
    large = {"text": "m" * (2 << 20)}
if op == "add_batch":
    big = clustered(60000, 60)
    big_meta = [{"i": i, "note": "n" * 20} for i in range(len(big))]
    big_ids = [f"big-{i:06d}" for i in range(len(big))]


def vm_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def attempt():
    if op == "add_batch":
        c.add_batch(big, big_meta, ids=big_ids)
    elif op == "import":
        c.import_from_file(extra)
    elif op == "search":
        for q in queries:
            c.search(q, len(c))
            c.search(q, len(c), where_={"step": {"$in": [0, 2]}})
    elif op == "add":
        # Large metadata, so that the buffer needs fresh memory with every record.
        for i in range(150):
            c.add(one[i % len(one)], large, id=f"add-{headroom_mib}-{i:06d}")
    elif op == "upsert":
        for i in range(20):
            c.upsert(f"doc-1-{i:06d}", one[i % len(one)], large)


_, hard = resource.getrlimit(resource.RLIMIT_AS)
for headroom_mib in [0, 1] + list(range(2, 34, 2)) + [48, 64, 96, 128]:
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (headroom_mib << 20), hard))
    try:
        attempt()
        raised = "ok"
    except MemoryError:
        raised = "MemoryError"
    except OSError as e:
        raised = "OSError: " + str(e)
    except ValueError as e:
        raised = "ValueError: " + str(e)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    # Once the cap is lifted: the records that were there answer as they did, unless the
    # operation itself replaced them.
    got, hits = answers()
    assert got == before[0], (raised, headroom_mib)
    if op == "search":
        assert hits == before[1], (raised, headroom_mib)
    print(json.dumps({"headroom": headroom_mib, "raised": raised, "count": len(c)}), flush=True)

if op == "add_batch":
    # A batch is all or nothing.
    present = sum(c.get(k) is not None for k in big_ids[::1000])
    assert present in (0, len(big_ids[::1000])), present
c.sync()
print(json.dumps({"count": len(c), "before": before_count}), flush=True)
"""

# Reads the collection's store and vector file as they lie on disk: every slot below the
# file's slot count is named by one stored record or stands once on the free list.
ACCOUNT = """
import json, struct, sys, lmdb
store, vectors = sys.argv[1], sys.argv[2]
with open(vectors, "rb") as f:
    slot_count = struct.unpack("<Q", f.read(18)[10:18])[0]
env = lmdb.open(store, subdir=False, max_dbs=4, readonly=True, lock=False)
named, free = [], []
with env.begin() as txn:
    for key, value in txn.cursor(db=env.open_db(b"records", txn=txn, create=False)):
        n = struct.unpack_from("<Q", value)[0]
        named.append(struct.unpack_from("<Q", value, 8 + n)[0])
    raw = txn.get(b"slots\\x00", db=env.open_db(b"freelist", txn=txn, create=False))
    if raw:
        k = struct.unpack_from("<Q", raw)[0]
        free = list(struct.unpack_from(f"<{k}Q", raw, 8))
print(json.dumps({"slot_count": slot_count, "named": named, "free": free}))
"""

REOPEN_AND_COMPACT = """
import sys, tornquil
c = tornquil.Tornquil(sys.argv[1]).get_collection("c")
n = len(c)
c.compact()
c.sync()
assert len(c) == n
print(n)
"""


def run(script, *args):
    proc = child(script, *args)
    out, err = proc.communicate(timeout=600)
    # A signal (an abort, a segfault) shows as a negative status.
    assert proc.returncode == 0, f"status {proc.returncode}\n{err}"
    return out


def account(path):
    store = os.path.join(path, "collections", "c", "meta.redb")
    vectors = os.path.join(path, "collections", "c", "vectors.bin")
    return json.loads(run(ACCOUNT, store, vectors))


def check_slots(path):
    """No slot in two hands on disk; after a reopen and a compaction, every slot in one."""
    a = account(path)
    held = a["named"] + a["free"]
    assert len(held) == len(set(held)), "a slot named twice, or named and free"
    assert all(s < a["slot_count"] for s in held)
    count = int(run(REOPEN_AND_COMPACT, path))
    a = account(path)
    assert sorted(a["named"] + a["free"]) == list(range(a["slot_count"]))
    return count


@capped
@pytest.mark.parametrize("op", ["add_batch", "search", "add", "upsert", "import"])
def test_running_out_of_memory_raises_and_leaves_the_collection_working(tmp_path, op):
    path = str(tmp_path / "db")
    out = run(CHILD, path, op, tmp_path / "export.ndjson")
    *tries, last = [json.loads(line) for line in out.splitlines()]
    raised = [t["raised"] for t in tries]
    # The cap bites: at least the tightest tries fail, for want of memory.
    assert "MemoryError" in raised, raised
    for r in raised:
        # The store and the vector file's mapping report their own failures to allocate
        # as errors of theirs, in the method's exception type.
        assert r in ("ok", "MemoryError") or "Cannot allocate memory" in r, r
    assert check_slots(path) == last["count"]


@capped
def test_an_import_of_an_endless_line_under_a_cap_fails_cleanly(tmp_path):
    path = str(tmp_path / "db")
    out = run(CHILD.replace("c.import_from_file(extra)", "c.import_from_file('/dev/zero')"),
              path, "import", tmp_path / "unused.ndjson")
    *tries, last = [json.loads(line) for line in out.splitlines()]
    for t in tries:
        assert t["raised"] == "MemoryError" or t["raised"].startswith(
            "OSError: Deserialization error: Invalid export header: line too long") or (
            "Cannot allocate memory" in t["raised"]), t
    assert "MemoryError" in [t["raised"] for t in tries]
    assert last["count"] == last["before"]
    assert check_slots(path) == last["count"]


# The child for the pool's threads: it starts the pool with work that throws nothing, then
# runs `op` while every allocation off the interpreter's thread fails. Prints what the call
# raised, then the count and the answers once allocations succeed again.
WORKERS_CHILD = """
import ctypes, json, sys
import numpy as np
import tornquil

gate = ctypes.CDLL(None)
path, op, export = sys.argv[1], sys.argv[2], sys.argv[3]
rng = np.random.default_rng(3)
centres = rng.standard_normal((6, 16)).astype(np.float32) * 3


def clustered(n):
    v = centres[rng.integers(0, 6, n)] + rng.standard_normal((n, 16)).astype(np.float32) * 0.1
    v[::50] = v[0]
    return v


db = tornquil.Tornquil(path)
c = db.collection("c", 16)
rows = clustered(30000)
c.add_batch(rows, [{"i": i, "even": i % 2 == 0} for i in range(len(rows))],
            ids=[f"a-{i:06d}" for i in range(len(rows))])
c.export_to_file(export)
fresh = clustered(40000)
meta = [{"i": i, "text": "x" * 30} for i in range(len(fresh))]
ids = [f"b-{i:06d}" for i in range(len(fresh))]
before = [[h.id for h in c.search(rows[i], 5)] for i in (0, 7, 99)]

gate.malloc_gate_close(1)
try:
    if op == "add_batch":
        c.add_batch(fresh, meta, ids=ids)
    elif op == "search":
        c.search(rows[3], 1000)
        c.search(rows[3], 1000, where_={"even": True})
    elif op == "import":
        c.import_from_file(export)
    raised = "ok"
except MemoryError:
    raised = "MemoryError"
gate.malloc_gate_close(0)
after = [[h.id for h in c.search(rows[i], 5)] for i in (0, 7, 99)]
print(json.dumps({"raised": raised, "count": len(c), "same": after == before,
                  "fresh": c.get("b-000001") is not None}))
"""


@pytest.fixture(scope="module")
def malloc_gate(tmp_path_factory):
    cc = shutil.which("cc") or shutil.which("gcc")
    if cc is None:
        pytest.skip("no C compiler for the allocation gate")
    lib = tmp_path_factory.mktemp("gate") / "malloc_gate.so"
    source = os.path.join(os.path.dirname(__file__), "malloc_gate.c")
    subprocess.run([cc, "-O2", "-shared", "-fPIC", "-o", str(lib), source], check=True)
    return lib


@capped
@pytest.mark.parametrize("op", ["add_batch", "search", "import"])
def test_a_worker_that_runs_out_of_memory_on_its_first_throw_raises(tmp_path, malloc_gate,
                                                                      op, monkeypatch):
    """A pool thread's first exception needs the C library to allocate the thread's
    exception state; when that fails the process is ended on the spot. The pool's threads
    have that state from their start, so the failure reaches the caller as MemoryError."""
    monkeypatch.setenv("LD_PRELOAD", str(malloc_gate))
    monkeypatch.setenv("RAYON_NUM_THREADS", "4")  # workers, whatever the machine has
    out = json.loads(run(WORKERS_CHILD, tmp_path / "db", op, tmp_path / "a.ndjson"))
    assert out["raised"] in ("ok", "MemoryError"), out
    if op == "add_batch":
        # The batch's workers convert its metadata: the gate bites, and nothing is stored.
        assert out["raised"] == "MemoryError" and not out["fresh"], out
    assert out["count"] == 30000 and out["same"], out


@pytest.mark.skipif(
    ASAN and "libstdc++" not in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer preloaded without libstdc++ cannot throw a C++ exception")
def test_a_sequence_that_claims_more_items_than_memory_holds(db):
    """The room a vector's conversion reserves comes from the sequence's own length: one too
    large for any memory raises MemoryError, as Python's own list() does."""

    class Claims:
        def __init__(self, n):
            self.n = n

        def __len__(self):
            return self.n

        def __getitem__(self, i):
            if i < D:
                return 1.0
            raise IndexError

    c = db.collection("c", D)
    # Beyond what a vector can hold at all, and (not under a sanitizer, which ends the
    # process for an allocation that large) more than the machine has.
    for n in (2**62,) if ASAN or TSAN else (2**62, 2**60):
        with pytest.raises(MemoryError):
            c.add(Claims(n), {})
        with pytest.raises(MemoryError):
            c.search(Claims(n), 1)
    assert len(c) == 0
    c.add(Claims(D), {}, id="fits")
    assert c.get("fits") is not None
