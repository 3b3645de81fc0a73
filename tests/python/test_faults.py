"""Faults the module must survive: a process killed at any moment keeps everything it
acknowledged, a normal exit keeps what daemon threads buffered, damaged files give Python
exceptions and never a signal, a vector file restored from an older copy never hands out a
live slot, and threads working on one collection always see their own acknowledged writes.

The damaged-file sweep runs its variants in forked children (see SWEEP_SERVER), so that a
signal is pinned to the variant that caused it. FAULT_SWEEP_VARIANTS sets the number of
variants per file (scripts/fault_sweep.sh runs the long sweep).
"""

import gc
import json
import math
import os
import random
import signal
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import tornquil
from helpers import child, kill_once_ready, run_turns

DIM = 8


def vec(rid, version):
    """The vector stored for one version of one id; distinct for every pair."""
    seed = zlib.crc32(f"{rid}:{version}".encode())
    return np.random.default_rng(seed).standard_normal(DIM).astype(np.float32)




def release_all():
    gc.collect()


# ---- SIGKILL at any moment ----

# Runs batches of adds, upserts, deletes, add_batch calls over ids that hold records, and
# compactions, each batch ended by a sync. Every operation is announced before it starts
# ("op kind id version", one line per id of an add_batch) and every synced batch is
# acknowledged ("ack"), so the parent knows what was acknowledged and what was in flight
# when it killed.
KILL_CHILD = """
import json, random, sys, zlib
import numpy as np, tornquil

path, state_file, cycle = sys.argv[1], sys.argv[2], int(sys.argv[3])
state = json.load(open(state_file))  # id -> version of every present record

def vec(rid, version):
    seed = zlib.crc32(f"{rid}:{version}".encode())
    return np.random.default_rng(seed).standard_normal(%(dim)d).astype(np.float32)

c = tornquil.Tornquil(path).collection("k", %(dim)d, "l2")
rng = random.Random(cycle)
version = cycle * 1_000_000
fresh = 0
print("ready", flush=True)
while True:
    touched = set()
    for _ in range(rng.randint(3, 30)):
        candidates = [rid for rid in state if rid not in touched]
        version += 1
        r = rng.random()
        if not candidates or r < 0.2:
            kind, rid = "add", f"c{cycle}-{fresh}"
            fresh += 1
        elif r < 0.3:
            kind, rid = "upsert", f"c{cycle}-{fresh}"
            fresh += 1
        elif r < 0.75:
            kind, rid = "upsert", rng.choice(candidates)
        elif r < 0.85:
            kind, rid = "delete", rng.choice(candidates)
        elif r < 0.95:
            # A batch over ids that hold records (and a fresh one): each replaced id reads
            # as its old record or as the batch's, whenever the kill comes.
            ids = rng.sample(candidates, min(len(candidates), rng.randint(1, 20)))
            ids.append(f"c{cycle}-{fresh}")
            fresh += 1
            for rid in ids:
                touched.add(rid)
                print("op batch", rid, version, flush=True)
            c.add_batch(np.stack([vec(rid, version) for rid in ids]),
                        [{"v": version}] * len(ids), ids=ids)
            for rid in ids:
                state[rid] = version
            continue
        else:
            c.compact()  # changes no live record
            continue
        touched.add(rid)
        print("op", kind, rid, version, flush=True)
        if kind == "add":
            c.add(vec(rid, version), {"v": version}, id=rid)
            state[rid] = version
        elif kind == "upsert":
            c.upsert(rid, vec(rid, version), {"v": version})
            state[rid] = version
        else:
            assert c.delete(rid)
            del state[rid]
    c.sync()
    print("ack", flush=True)
""" % {"dim": DIM}


def parse_kill_log(lines, acked):
    """Applies the acknowledged batches to `acked` (id -> version or None) and returns the
    operations of the batch that was running when the child died: id -> (kind, version)."""
    batch = {}
    for line in lines:
        if line == "ack":
            for rid, (kind, version) in batch.items():
                acked[rid] = None if kind == "delete" else version
            batch = {}
        elif line.startswith("op "):
            _, kind, rid, version = line.split()
            batch[rid] = (kind, int(version))
    return batch


def test_sigkill_at_any_moment_loses_nothing_acknowledged(tmp_path):
    path, state_file = str(tmp_path / "db"), tmp_path / "state.json"
    acked = {}  # every id ever acknowledged -> its version, None once deleted
    rng = random.Random(5)
    upserts_in_flight = 0
    for cycle in range(20):
        state_file.write_text(json.dumps({k: v for k, v in acked.items() if v is not None}))
        log = tmp_path / f"log{cycle}"
        status, err = kill_once_ready(log, rng.uniform(0.05, 0.3), KILL_CHILD, path, state_file,
                                      cycle)
        assert status == -signal.SIGKILL, err
        text = log.read_text()
        # A line cut short by the kill announced an operation that never started.
        lines = text[:text.rfind("\n") + 1].splitlines()
        running = parse_kill_log(lines, acked)
        last = lines[-1].split() if lines else []
        if last[:2] == ["op", "upsert"] and acked.get(last[2]) is not None:
            upserts_in_flight += 1

        c = tornquil.Tornquil(path).collection("k", DIM, "l2")
        present = 0
        for rid in sorted(set(acked) | set(running)):
            got = c.get(rid)
            seen = None if got is None else got.metadata["v"]
            allowed = {acked.get(rid)}
            if rid in running:
                kind, version = running[rid]
                allowed.add(None if kind == "delete" else version)
            assert seen in allowed, (
                f"cycle {cycle}: {rid} reads {seen}, acknowledged {acked.get(rid)}, "
                f"in flight {running.get(rid)}")
            if seen is not None:
                present += 1
                if rid in running or rng.random() < 0.05:
                    hit = c.search(vec(rid, seen), 2)
                    assert (hit[0].id, hit[0].score) == (rid, 0.0)
                    assert len(hit) == 1 or hit[1].score > 0.0
            acked[rid] = seen
        assert len(c) == present
        del c
        release_all()
    # Not a requirement of the test, but it would prove nothing without them.
    print(f"upserts of committed ids killed in flight: {upserts_in_flight}")


# ---- A normal exit ----

DAEMON_CHILD = """
import sys, threading
import numpy as np, tornquil

path, forever = sys.argv[1], sys.argv[2] == "1"
ready = threading.Event()

def hold():
    c = tornquil.Tornquil(path).collection("d", 4, "l2")
    i = 0
    while i < 217 or forever:
        c.add(np.full(4, i + 1, np.float32), {"i": i}, id=f"{i:05d}")
        i += 1
        if i == 217:
            ready.set()
    threading.Event().wait()

threading.Thread(target=hold, daemon=True).start()
ready.wait()
"""


@pytest.mark.parametrize("forever", [False, True], ids=["idle", "still-adding"])
def test_records_buffered_by_a_daemon_thread_survive_a_normal_exit(tmp_path, forever):
    path = str(tmp_path / "db")
    proc = child(DAEMON_CHILD, path, int(forever))
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    c = tornquil.Tornquil(path).get_collection("d")
    n = len(c)
    assert n >= 217
    for i in range(n):
        assert c.get(f"{i:05d}").metadata == {"i": i}


# ---- The slot count of a vector file restored from an older copy ----


def test_an_older_vector_file_never_hands_out_a_live_slot(tmp_path):
    path = str(tmp_path / "db")
    vectors = os.path.join(path, "collections", "c", "vectors.bin")
    c = tornquil.Tornquil(path).collection("c", DIM, "l2")
    for i in range(100):
        c.add(vec(i, 0), {"i": i}, id=str(i))
    c.sync()
    with open(vectors, "rb") as f:
        older = f.read()  # claims 100 slots; the file has room for 1024
    for i in range(100, 200):
        c.add(vec(i, 0), {"i": i}, id=str(i))
    c.delete("0")  # slot 0 goes to the free list
    c.sync()
    del c
    release_all()
    with open(vectors, "wb") as f:
        f.write(older)

    c = tornquil.Tornquil(path).get_collection("c")
    for i in range(200, 260):
        c.add(vec(i, 0), {"i": i}, id=str(i))
    c.sync()
    assert len(c) == 259
    # Records 1..99 kept their vectors, and every new record got a slot of its own.
    for i in [*range(1, 100), *range(200, 260)]:
        hits = c.search(vec(i, 0), 2)
        assert (hits[0].id, hits[0].score) == (str(i), 0.0)
        assert hits[1].score > 0.0
    for i in range(100, 200):
        assert c.get(str(i)).metadata == {"i": i}


def test_a_vector_file_too_short_for_the_slots_in_use_is_refused(tmp_path):
    path = str(tmp_path / "db")
    vectors = os.path.join(path, "collections", "c", "vectors.bin")
    c = tornquil.Tornquil(path).collection("c", 1, "l2")
    c.add([1.0], {}, id="first")
    c.sync()
    with open(vectors, "rb") as f:
        older = f.read()  # room for 1024 slots
    for i in range(1500):
        c.add([float(i)], {}, id=str(i))
    c.sync()
    del c
    release_all()
    with open(vectors, "wb") as f:
        f.write(older)
    with pytest.raises(KeyError) as err:
        tornquil.Tornquil(path).get_collection("c")
    assert err.value.args == (
        "Data corruption: Slot 1500 is in use but the vector file holds only 1024 slots",)


# ---- Threads on one collection ----


def test_threads_always_see_their_own_acknowledged_writes(tmp_path):
    c = tornquil.Tornquil(str(tmp_path / "db")).collection("t", DIM, "l2")
    errors = []
    added = [[] for _ in range(4)]
    final = [{} for _ in range(2)]  # mutator -> id -> version or None
    rngs = [random.Random(t) for t in range(2)]
    versions = [0, 0]

    def check(cond, what):
        if not cond:
            errors.append(what)

    def adder(t):
        def turn(_):
            for _ in range(25):
                i = len(added[t])
                rid = f"a{t}-{i}"
                c.add(vec(rid, 0), {"t": t, "i": i}, id=rid)
                added[t].append(rid)
                got = c.get(rid)
                check(got is not None and got.metadata == {"t": t, "i": i}, f"get after add {rid}")
        return turn

    def mutator(t):
        rng, state = rngs[t], final[t]

        def turn(_):
            for _ in range(25):
                mutate(t, rng, state)
        return turn

    def mutate(t, rng, state):
        rid = f"m{t}-{rng.randrange(40)}"
        current = state.get(rid)
        versions[t] += 1
        version = versions[t]
        op = rng.random()
        if current is None:
            if op < 0.5:
                c.add(vec(rid, version), {"v": version}, id=rid)
            else:
                c.upsert(rid, vec(rid, version), {"v": version})
            state[rid] = version
        elif op < 0.4:
            c.upsert(rid, vec(rid, version), {"v": version})
            state[rid] = version
        elif op < 0.7:
            check(c.delete(rid) is True, f"delete of live {rid}")
            state[rid] = None
            check(c.delete(rid) is False, f"second delete of {rid}")
        else:
            hits = c.search(vec(rid, current), 1)
            check(bool(hits) and hits[0].id == rid and hits[0].score == 0.0,
                  f"search for {rid}")
        got = c.get(rid)
        seen = None if got is None else got.metadata["v"]
        check(seen == state[rid], f"get of {rid}: {seen} != {state[rid]}")
        live = sum(v is not None for v in state.values())
        check(len(c) >= live, f"len below the {live} records of mutator {t}")

    # Fixed work, each turn of a thread meeting a turn of every other.
    workers = {f"adder{t}": (20, adder(t)) for t in range(4)}
    workers.update({f"mutator{t}": (20, mutator(t)) for t in range(2)})
    run_turns(workers)
    assert not errors, f"{len(errors)} wrong answers, the first: {errors[:5]}"

    c.sync()
    for t, ids in enumerate(added):
        for i, rid in enumerate(ids):
            assert c.get(rid).metadata == {"t": t, "i": i}
    for state in final:
        for rid, version in state.items():
            got = c.get(rid)
            assert (None if got is None else got.metadata["v"]) == version
    live = sum(len(ids) for ids in added) + sum(
        v is not None for state in final for v in state.values())
    assert len(c) == live


# ---- Damaged files ----

SWEEP_VARIANTS = int(os.environ.get("FAULT_SWEEP_VARIANTS", "300"))
SWEEP_WORKERS = 4
PAGE = 4096

# Writes an HNSW configuration into the registry entry of collection "c" and registers 200
# more collections (without directories), so that the registry is a tree of several pages.
# Runs in a process of its own while no handle holds the registry.
EDIT_REGISTRY = """
import math, struct, sys, lmdb
env = lmdb.open(sys.argv[1], subdir=False, max_dbs=4)
table = env.open_db(b"collections")
hnsw = struct.pack("<QQQQQdQ", 16, 32, 16, 200, 50, 1 / math.log(16), 0)
with env.begin(write=True) as txn:
    value = txn.get(b"c\\0", db=table)
    (name_len,) = struct.unpack_from("<Q", value)
    txn.put(b"c\\0", value[:28 + name_len] + b"\\1" + hnsw, db=table)
    for i in range(200):
        name = b"z%03d" % i
        txn.put(name + b"\\0", struct.pack("<Q", len(name)) + name
                + struct.pack("<QIQ", 1 + i % 16, i % 3, 1) + b"\\0", db=table)
env.close()
"""

# The end of every sweep script: runs run_one(n, dst, report) for each variant in a forked
# child that exits with its result (0 "answered", 10 "refused", 3 "inconsistent"), and
# prints one JSON line per variant: [variant, outcome, the report's text]. A child that
# takes more than 60 s is killed ("hung"); one that dies of a signal shows as "signal N".
RUN_VARIANTS = """
for n in variants:
    dst = os.path.join(work, f"v{n}")
    report = dst + ".txt"
    pid = os.fork()
    if pid == 0:
        code = 3
        try:
            code = run_one(n, dst, report)
        finally:
            os._exit(code)
    fd = os.pidfd_open(pid)
    hung = not select.select([fd], [], [], 60)[0]
    if hung:
        os.kill(pid, signal.SIGKILL)
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    if hung:
        outcome = "hung"
    elif os.WIFSIGNALED(status):
        outcome = f"signal {signal.Signals(os.WTERMSIG(status)).name}"
    else:
        outcome = {0: "answered", 10: "refused", 3: "inconsistent"}.get(
            os.WEXITSTATUS(status), f"exit {os.WEXITSTATUS(status)}")
    detail = open(report).read() if os.path.exists(report) else ""
    print(json.dumps([n, outcome, detail[-2000:]]), flush=True)
    shutil.rmtree(dst, ignore_errors=True)
    if os.path.exists(report):
        os.remove(report)
"""

# Damages one file of a copy of the template in a forked child per variant and uses the
# database there. Prints one JSON line per variant: [variant, outcome, detail], outcome
# "answered", "refused" (a tornquil exception), "inconsistent" (a wrong answer or an
# exception of another type), "signal N", "exit N" or "hung".
SWEEP_SERVER = """
import gc, json, os, random, select, shutil, signal, struct, sys, traceback, zlib
import numpy as np, tornquil

template, work, target = sys.argv[1], sys.argv[2], sys.argv[3]
variants = [int(v) for v in sys.argv[4].split(",")]
DIM, PAGE = %(dim)d, %(page)d

def damage(path, seed):
    rng = random.Random(seed)
    with open(path, "rb") as f:
        data = bytearray(f.read())
    size, pages = len(data), max(1, len(data) // PAGE)
    mode = seed %% 4
    if mode == 0:  # cut short: anywhere, at a page boundary, or just around one
        r = rng.random()
        if r < 0.4:
            cut = rng.randrange(size)
        elif r < 0.8:
            cut = rng.randrange(pages) * PAGE
        else:
            cut = max(0, rng.randrange(pages) * PAGE + rng.randint(-64, 64))
        del data[cut:]
    elif mode == 1:  # flipped bytes: in the first two pages, in page headers, anywhere
        for _ in range(rng.randint(1, 8)):
            r = rng.random()
            if r < 0.4:
                pos = rng.randrange(min(size, 2 * PAGE))
            elif r < 0.7:
                pos = min(size - 1, rng.randrange(pages) * PAGE + rng.randrange(64))
            else:
                pos = rng.randrange(size)
            data[pos] ^= rng.randint(1, 255)
    elif mode == 2:  # one or two zeroed pages
        for _ in range(rng.randint(1, 2)):
            start = rng.randrange(pages) * PAGE
            end = min(size, start + PAGE)
            data[start:end] = bytes(end - start)
    else:  # garbage appended
        data += rng.randbytes(rng.randint(1, 3 * PAGE))
    with open(path, "wb") as f:
        f.write(data)

def search_again(c, q):
    unfiltered = []
    for where in (None, None, None, {"k": 1}):
        hits = c.search(q, 10, where_=where)
        assert len(hits) <= 10, "more hits than asked for"
        if where is None:
            unfiltered.append([(h.id, struct.pack("<f", h.score)) for h in hits])
            assert unfiltered[-1] == unfiltered[0], "a repeated search changed its hits"
        for h in hits:
            got = c.get(h.id)
            assert got is not None and got.metadata == h.metadata, f"hit {h.id!r} vs get"

def exercise(path):
    db = tornquil.Tornquil(path)
    repr(db)
    names = db.collections()
    c = db.get_collection("c")
    n = len(c)
    assert n == len(c), "len changed without a write"
    q = np.ones(DIM, np.float32)
    search_again(c, q)
    # The plain collection takes the exact scan, whose repeated searches read what the
    # first one left.
    search_again(db.get_collection("e"), q)
    for i in range(0, 300, 23):
        c.get(f"r{i:03d}")
    rid = c.add(np.full(DIM, 0.5, np.float32), {"new": 1})
    assert c.get(rid).metadata == {"new": 1}, "added record not found"
    c.upsert("r001", np.full(DIM, 0.25, np.float32), {"up": 1})
    assert c.get("r001").metadata == {"up": 1}, "upserted record not found"
    assert c.delete(rid) is True and c.get(rid) is None, "delete"
    c.sync()
    db.sync()
    m = len(c)
    for name in names[:3]:
        if name != "c":
            db.get_collection(name)
    del c, db
    gc.collect()
    c = tornquil.Tornquil(path).get_collection("c")
    assert len(c) == m, f"len {len(c)} after reopening, {m} before"
    c.search(q, 5)

def run_one(n, dst, report):
    shutil.copytree(template, dst)
    damage(os.path.join(dst, target), zlib.crc32(target.encode()) ^ n)
    try:
        exercise(dst)
    except (OSError, ValueError, KeyError) as e:
        with open(report, "w") as f:
            f.write(f"{type(e).__name__}: {e}")
        return 10
    except BaseException:
        with open(report, "w") as f:
            f.write(traceback.format_exc())
        return 3
    return 0
""" % {"dim": DIM, "page": PAGE} + RUN_VARIANTS


@pytest.fixture(scope="module")
def sweep_template(tmp_path_factory):
    """A database whose collection "c" spans several store pages (overflow values, a free
    list, a registry of 202 entries) and carries HNSW parameters, beside a plain collection
    "e" of 1,500 records."""
    path = str(tmp_path_factory.mktemp("sweep") / "db")
    c = tornquil.Tornquil(path).collection("c", DIM, "l2")
    for i in range(300):
        meta = {"i": i, "k": i % 3}
        if i % 10 == 0:
            meta["text"] = "x" * 3000  # larger than a page: an overflow value
        c.add(vec(i, 0), meta, id=f"r{i:03d}")
    for i in range(0, 300, 7):
        c.delete(f"r{i:03d}")
    c.sync()
    # A plain collection large enough for the parallel scan, records out of key order.
    e = tornquil.Tornquil(path).collection("e", DIM, "cosine")
    for i in range(1500):
        e.add(vec(i, 1), {"i": i, "k": i % 3}, id=f"e{(i * 7919) % 1500:04d}")
    for i in range(0, 1500, 11):
        e.delete(f"e{i:04d}")
    e.sync()
    del c, e
    release_all()
    subprocess.run([sys.executable, "-c", EDIT_REGISTRY, os.path.join(path, "meta.redb")],
                   check=True)
    db = tornquil.Tornquil(path)
    db.get_collection("c").sync()
    del db
    release_all()
    return path


def run_sweep(template, work, target, count):
    """Outcome counts and the variants that failed, as (variant, outcome, detail)."""
    os.makedirs(work, exist_ok=True)
    return collect_sweep(SWEEP_SERVER, [template, work, target], count)


def collect_sweep(script, args, count):
    """Runs `count` variants of a sweep script over SWEEP_WORKERS children, each given `args`
    and its share of the variants; the outcome counts and the variants that failed."""
    servers = [child(script, *args, ",".join(map(str, range(w, count, SWEEP_WORKERS))))
               for w in range(SWEEP_WORKERS)]
    counts, failed = {}, []
    for s in servers:
        out, err = s.communicate(timeout=1800)
        assert s.returncode == 0, err
        for line in out.splitlines():
            n, outcome, detail = json.loads(line)
            counts[outcome] = counts.get(outcome, 0) + 1
            if outcome not in ("answered", "refused"):
                failed.append((n, outcome, detail))
    assert sum(counts.values()) == count
    return counts, sorted(failed)


@pytest.mark.parametrize("target", [
    pytest.param("meta.redb", id="registry"),
    pytest.param("collections/c/meta.redb", id="collection-store"),
    pytest.param("collections/c/vectors.bin", id="vectors"),
    pytest.param("collections/c/hnsw.index", id="index"),
    pytest.param("collections/e/meta.redb", id="plain-collection-store"),
    pytest.param("collections/e/vectors.bin", id="plain-vectors"),
])
def test_a_damaged_file_never_kills_the_process(sweep_template, tmp_path, target):
    if not os.path.exists(os.path.join(sweep_template, target)):
        pytest.skip("no hnsw.index is written yet: a sync writes it once the index is built")
    counts, failed = run_sweep(sweep_template, str(tmp_path / "work"), target, SWEEP_VARIANTS)
    print(f"{target}: {SWEEP_VARIANTS} variants: {counts}")
    assert not failed, f"{len(failed)} variants failed; the first: {failed[:3]}"


# ---- Damaged NDJSON files given to import ----

# Damages a copy of an export in a forked child per variant and imports it into a new
# collection. Prints one JSON line per variant: [variant, outcome, detail], outcome
# "answered" (ImportStats that add up), "refused" (an OSError with one of the import's
# texts), "inconsistent", "signal N", "exit N" or "hung".
IMPORT_SWEEP = """
import json, os, random, re, select, shutil, signal, sys, traceback
import tornquil

base_path, work = sys.argv[1], sys.argv[2]
variants = [int(v) for v in sys.argv[3].split(",")]
base = open(base_path, "rb").read()
DIM = %(dim)d
ALLOWED = re.compile(
    r"(Deserialization error: Invalid export header: .+"
    r"|Deserialization error: Invalid record at line \\d+: .+"
    r"|Invalid format: Export version \\d+ is newer than supported version 1"
    r"|Invalid dimensions: expected %(dim)d, got \\d+"
    r"|I/O error: stream did not contain valid UTF-8)$", re.S)
HUGE = [b"1e999", b"-1e999", b"1e-999", b"18446744073709551616", b"-9223372036854775809",
        b"9" * 400, b"1" + b"0" * 5000 + b".5", b"3.5e38", b"-0.0e-99999", b"4294967296"]

def damage(seed):
    rng = random.Random(seed)
    lines = base.split(b"\\n")
    kind = seed %% 5
    if kind == 0:  # truncated: the file, or lines cut short inside the file
        if rng.random() < 0.5:
            return base[:rng.randrange(len(base))]
        for _ in range(rng.randint(1, 3)):
            i = rng.randrange(len(lines))
            lines[i] = lines[i][:rng.randrange(len(lines[i]) + 1)]
        return b"\\n".join(lines)
    if kind == 1:  # flipped bytes
        b = bytearray(base)
        for _ in range(rng.randint(1, 6)):
            b[rng.randrange(len(b))] ^= rng.randint(1, 255)
        return bytes(b)
    if kind == 2:  # a huge or tiny number in place of any number
        spans = [m.span() for m in re.finditer(rb"-?\\d+(\\.\\d+)?([eE][-+]?\\d+)?", base)]
        out = bytearray(base)
        for a, z in sorted(rng.sample(spans, rng.randint(1, 3)), reverse=True):
            out[a:z] = rng.choice(HUGE)
        return bytes(out)
    if kind == 3:  # deep nesting: in the metadata, an ignored key, the vector or the id
        depth = rng.choice([126, 127, 128, 1000, 200000])
        open_, close = rng.choice([(b"[", b"]"), (b'{"a":', b"}")])
        nest = open_ * depth + b"1" + (close * depth if rng.random() < 0.7 else b"")
        i = rng.randrange(len(lines))
        where = rng.choice([b'"metadata":', b'"vector":', b'"id":', b'"extra":'])
        if where == b'"extra":':
            lines[i] = lines[i][:1] + b'"extra":' + nest + b"," + lines[i][1:]
        else:
            lines[i] = lines[i].replace(where, where + nest + b",", 1)
        return b"\\n".join(lines)
    # NUL bytes: scattered, or a whole line of them
    b = bytearray(base)
    if rng.random() < 0.5:
        for _ in range(rng.randint(1, 5)):
            b.insert(rng.randrange(len(b) + 1), 0)
        return bytes(b)
    lines.insert(rng.randrange(1, len(lines) + 1), b"\\0" * rng.randint(1, 70000))
    return b"\\n".join(lines)

def run_one(n, dst, report):
    os.makedirs(dst)
    data = damage(n)
    src = os.path.join(dst, "in.ndjson")
    with open(src, "wb") as f:
        f.write(data)
    try:
        c = tornquil.Tornquil(os.path.join(dst, "db")).collection("c", DIM, "l2")
        try:
            s = c.import_from_file(src)
        except OSError as e:
            with open(report, "w") as f:
                f.write(f"{type(e).__name__}: {e}")
            ok = type(e) is OSError and len(e.args) == 1 and ALLOWED.match(e.args[0])
            return 10 if ok else 3
        physical = data.count(b"\\n") + 1
        assert s.skipped == 0 and s.imported + s.failed <= physical, s
        assert len(c) <= s.imported, (len(c), s)
    except BaseException:
        with open(report, "w") as f:
            f.write(traceback.format_exc())
        return 3
    return 0
""" % {"dim": DIM} + RUN_VARIANTS


def test_a_damaged_import_file_gives_a_count_or_an_error_never_a_signal(tmp_path):
    c = tornquil.Tornquil(str(tmp_path / "db")).collection("src", DIM, "cosine")
    rng = np.random.default_rng(9)
    centre = rng.standard_normal(DIM).astype(np.float32)
    for i in range(40):
        v = centre + (0.001 if i % 5 else 1.0) * rng.standard_normal(DIM).astype(np.float32)
        c.add(v, {"i": i, "tags": ["a", {"b": [i, None]}], "t": "é\n"}, id=f"{i:08d}",
              ttl=None if i % 3 else 86_400)
    base = str(tmp_path / "base.ndjson")
    assert c.export_to_file(base) == 40
    work = str(tmp_path / "work")
    os.makedirs(work)
    counts, failed = collect_sweep(IMPORT_SWEEP, [base, work], SWEEP_VARIANTS)
    print(f"import: {SWEEP_VARIANTS} variants: {counts}")
    assert not failed, f"{len(failed)} variants failed; the first: {failed[:3]}"
    assert counts.get("answered", 0) > 0 and counts.get("refused", 0) > 0
