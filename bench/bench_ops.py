"""Whole-operation benchmark of tornquil, run by hand: add, add_batch, get, search with and
without a filter, delete, upsert, len, NDJSON export and import at 10,000 and 100,000 records of
384 dimensions, next to a NumPy brute-force search (M @ q + argpartition) over the same matrix;
then compact of expired records next to the add_batch that stored them. A last table times
search over ids of different shapes (zero-padded counters, generated UUIDs, "doc-N" and a
two-part "userNNN/msgNNNNN"), since the parallel scan splits the table by its keys. The
import table compares an import into an empty collection with one onto existing ids.

    .venv/bin/python bench/bench_ops.py [--sizes 10000,100000] [--queries 200]
        [--compact 200000:100000,1000000:10000]
        [--shape-sizes 104000:384,150000:384,1000000:128] [--shapes r,uuid,doc,user]
        [--shape-queries 100] [--import-sizes 10000,100000]
        [--roads 100000:384:r,100000:384:uuid,1000000:128:r] [--road-queries 100]
        [--filter-sizes 100000:384,1000000:128] [--filter-queries 35]
        [--filter-passes 3]
        [--columns-memory 1000000:128]

An empty --sizes, --compact, --shape-sizes, --import-sizes, --roads, --filter-sizes or
--columns-memory skips that table. The import table imports one export into an empty collection and then onto the
same collection, so that every line replaces a committed record. The roads table times each
road a search can take (nothing committed since the last search, the first and second search
after a commit, where_={}, a filter matching half the records, and an agent's loop of add, a
pause and a search) over clustered vectors, next to NumPy. The last table times searches with
each kind of where_ over zero-padded and generated ids, since a filtered scan reads each
record's metadata text as well as its vector; and the memory the record columns take is
measured in a fresh process.

NumPy's speed depends on its BLAS. The set-up step installs OpenBLAS for the comparison
when it is missing and the script runs as root (elsewhere it prints the apt-get line),
and reports which BLAS NumPy loaded. The NumPy side runs in a subprocess of its own, with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE removed from its environment only, so that a
machine-specific override cannot slow OpenBLAS down.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

# This process only runs tornquil: NumPy's BLAS threads, idle here, must not spin on the
# cores the search's workers use. The NumPy side gets its threads back (numpy_env).
_OWN_BLAS_THREADS = "OPENBLAS_NUM_THREADS" not in os.environ
if _OWN_BLAS_THREADS:
    os.environ["OPENBLAS_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

import tornquil  # noqa: E402

DIM = 384
K = 10
SEED = 42
OPENBLAS_PACKAGE = "libopenblas0-pthread"


# ---- Set-up ----


def ensure_openblas():
    """Installs OpenBLAS for NumPy's comparison when missing; never needed by tornquil."""
    status = subprocess.run(["dpkg-query", "-W", "-f=${Status}", OPENBLAS_PACKAGE],
                            capture_output=True, text=True)
    if "install ok installed" in status.stdout:
        return
    if os.geteuid() != 0:
        print(f"note: NumPy may use the reference BLAS; as root: apt-get install -y {OPENBLAS_PACKAGE}")
        return
    print(f"installing {OPENBLAS_PACKAGE} for the NumPy comparison ...", flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "install", "-y", "-qq", OPENBLAS_PACKAGE], check=True, env=env,
                   stdout=subprocess.DEVNULL)


def numpy_env():
    env = dict(os.environ)
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        env.pop(var, None)
    if _OWN_BLAS_THREADS:
        env.pop("OPENBLAS_NUM_THREADS", None)
    return env


# Runs in the NumPy subprocess: reports the BLAS it loaded, then times brute-force search.
NUMPY_SIDE = textwrap.dedent(
    """
    import json, os, sys, time
    import numpy as np

    def blas_in_use():
        try:
            from threadpoolctl import threadpool_info
            return "; ".join(f"{i['internal_api']} {i.get('version') or ''} {i['filepath']}"
                             for i in threadpool_info() if i.get("user_api") == "blas")
        except ImportError:
            pass
        libs = set()
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split()[-1]
                if "blas" in os.path.basename(path).lower():
                    libs.add(os.path.realpath(path))
        return ", ".join(sorted(libs)) or "unknown"

    n, dim, k, seed, queries = map(int, sys.argv[1:6])
    rng = np.random.default_rng(seed)
    m = rng.standard_normal((n, dim), dtype=np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    qs = rng.standard_normal((queries, dim), dtype=np.float32)
    qs /= np.linalg.norm(qs, axis=1, keepdims=True)

    def search(q):
        s = m @ q
        top = np.argpartition(-s, k)[:k]
        return top[np.argsort(-s[top], kind="stable")]

    for q in qs[:10]:
        search(q)
    times = []
    for q in qs:
        t = time.perf_counter()
        search(q)
        times.append(time.perf_counter() - t)
    times.sort()
    print(json.dumps({"blas": blas_in_use(), "median_s": times[len(times) // 2]}))
    """
)


def numpy_search(n, queries, dim=DIM):
    out = subprocess.run([sys.executable, "-c", NUMPY_SIDE, str(n), str(dim), str(K), str(SEED),
                          str(queries)], env=numpy_env(), capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout)


# ---- Timing helpers ----


def rate(count, seconds):
    return count / seconds if seconds > 0 else float("inf")


def median_latency(call, args_list):
    times = []
    for args in args_list:
        t = time.perf_counter()
        call(*args)
        times.append(time.perf_counter() - t)
    return statistics.median(times)


def written_bytes():
    """Bytes this process has sent to the disk so far, or None where Linux does not say."""
    try:
        with open("/proc/self/io") as f:
            for line in f:
                if line.startswith("write_bytes:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def bytes_per_reuse(c, ids, rows, calls=50):
    """Bytes written per add + sync that lands in a slot a batch wrote and a delete freed:
    the cost of a small flush inside a range that a batch filled in long writes."""
    for rid in ids[::200]:
        c.delete(rid)
    c.sync()
    before = written_bytes()
    if before is None:
        return None
    for i in range(calls):
        c.add(rows[i], {"i": i})
        c.sync()
    return (written_bytes() - before) / calls


def fmt_rate(r):
    return f"{r:>12,.0f} /s"


def fmt_latency(s):
    return f"{s * 1e3:>10.3f} ms"


# Polls a field of /proc/PID/status (kB) every millisecond until its stdin closes, then
# prints the largest value seen. A process of its own, so that it also samples while a call
# keeps the GIL for its whole run.
_SAMPLER = """
import sys, threading
pid, field = sys.argv[1], sys.argv[2] + ":"
done = threading.Event()
threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
def read():
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1])
    return 0
peak = read()
print("ready", flush=True)
while not done.wait(0.001):
    peak = max(peak, read())
print(max(peak, read()), flush=True)
"""


class RssPeak:
    """The largest growth of the resident set over its value at entry, in bytes, sampled every
    millisecond by a separate process. With anon=True only anonymous memory counts: the pages
    of a mapped file are the file's, not the call's."""

    def __init__(self, anon=False):
        self.field = "RssAnon" if anon else "VmRSS"

    def _now(self):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(self.field + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    def __enter__(self):
        self.growth = 0
        self.base = self._now()
        self._proc = subprocess.Popen(
            [sys.executable, "-c", _SAMPLER, str(os.getpid()), self.field],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self._proc.stdout.readline()  # "ready": sampling has begun
        return self

    def __exit__(self, *exc):
        out, _ = self._proc.communicate("")
        self.growth = max(0, int(out.split()[-1]) * 1024 - self.base)


def measured(call, *args):
    """Seconds of the call and the growth of its anonymous memory at the peak, in MiB."""
    with RssPeak(anon=True) as rss:
        t = time.perf_counter()
        call(*args)
        seconds = time.perf_counter() - t
    return seconds, rss.growth / 2**20


def run_compact(total, expired):
    """Stores `total` records with add_batch, `expired` of them with a ttl of one second,
    waits, compacts."""
    rng = np.random.default_rng(SEED)
    root = tempfile.mkdtemp(prefix="tornquil_bench_")
    try:
        db = tornquil.Tornquil(os.path.join(root, "db"))
        c = db.collection("ttl", DIM)
        step = max(1, total // expired)
        t_insert = 0.0
        for start in range(0, total, 50_000):
            m = rng.standard_normal((min(50_000, total - start), DIM), dtype=np.float32)
            ids = [f"r{i:08d}" for i in range(start, start + len(m))]
            ttls = [1 if (start + i) % step == 0 and (start + i) // step < expired else None
                    for i in range(len(m))]
            metas = [{"i": start + i} for i in range(len(m))]
            t = time.perf_counter()
            c.add_batch(m, metas, ids=ids, ttls=ttls)
            c.sync()
            t_insert += time.perf_counter() - t
        time.sleep(1.5)
        t = time.perf_counter()
        s = c.compact()
        t_compact = time.perf_counter() - t
        assert s.expired_removed == expired, s
        del c, db
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return {"insert": t_insert, "compact": t_compact}


# ---- One size ----


def run_size(n, queries):
    rng = np.random.default_rng(SEED)
    m = rng.standard_normal((n, DIM), dtype=np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    qs = rng.standard_normal((queries, DIM), dtype=np.float32)
    qs /= np.linalg.norm(qs, axis=1, keepdims=True)
    rows = list(m)  # one float32 array per record, as a caller holds them
    metas = [{"source": "chat", "turn": i, "tag": f"t{i % 10}"} for i in range(n)]
    ids = [f"rec-{i:07d}" for i in range(n)]

    root = tempfile.mkdtemp(prefix="tornquil_bench_")
    result = {}
    try:
        db = tornquil.Tornquil(os.path.join(root, "db"))

        cb = db.collection("batch", DIM)
        with RssPeak() as rss:
            t = time.perf_counter()
            batch_ids = cb.add_batch(m, metas)
            result["add_batch"] = rate(n, time.perf_counter() - t)
        result["add_batch_peak"] = rss.growth
        t = time.perf_counter()
        for md in metas:
            json.dumps(md)
        result["json_dumps"] = time.perf_counter() - t
        result["reuse_written"] = bytes_per_reuse(cb, batch_ids, rows)
        del cb

        c = db.collection("bench", DIM)

        t = time.perf_counter()
        for v, md, rid in zip(rows, metas, ids):
            c.add(v, md, rid)
        c.sync()
        result["add"] = rate(n, time.perf_counter() - t)

        export_path = os.path.join(root, "export.ndjson")
        result["export"], result["export_peak"] = measured(c.export_to_file, export_path)
        result["export"] = rate(n, result["export"])
        imported = db.collection("imported", DIM)
        t, result["import_peak"] = measured(imported.import_from_file, export_path)
        result["import"] = rate(n, t)
        assert len(imported) == n
        del imported
        db.drop_collection("imported")

        for q in qs[:10]:
            c.search(q, K)
        result["search"] = median_latency(c.search, [(q, K) for q in qs])
        where = {"tag": "t3"}
        result["search_filter"] = median_latency(c.search, [(q, K, where) for q in qs])

        probe = [ids[i] for i in rng.integers(0, n, size=min(n, 50_000))]
        get = c.get
        t = time.perf_counter()
        for rid in probe:
            get(rid)
        result["get"] = rate(len(probe), time.perf_counter() - t)

        result["len"] = median_latency(len, [(c,)] * 20)

        victims = ids[: min(2_000, n // 5)]
        t = time.perf_counter()
        for rid in victims:
            c.delete(rid)
        result["delete"] = rate(len(victims), time.perf_counter() - t)

        targets = ids[len(victims): len(victims) * 2]
        t = time.perf_counter()
        for i, rid in enumerate(targets):
            c.upsert(rid, rows[i], metas[i])
        c.sync()
        result["upsert"] = rate(len(targets), time.perf_counter() - t)
        del c, db
    finally:
        shutil.rmtree(root, ignore_errors=True)

    reference = numpy_search(n, queries)
    result["numpy_search"] = reference["median_s"]
    result["blas"] = reference["blas"]
    return result


# ---- Search by id shape ----

# Each shape names record i; None lets the collection generate a UUID.
ID_SHAPES = {
    "r": ('"r%07d"', lambda i: f"r{i:07d}"),
    "uuid": ("generated UUID", lambda i: None),
    "doc": ('"doc-%d"', lambda i: f"doc-{i}"),
    "user": ('"user%03d/msg%05d"', lambda i: f"user{i % 1000:03d}/msg{i // 1000:05d}"),
}


def run_shape(n, dim, shape, queries):
    """Median search time over a collection of n records whose ids have the given shape."""
    rng = np.random.default_rng(SEED)
    m = rng.standard_normal((n, dim), dtype=np.float32)
    m /= np.linalg.norm(m, axis=1, keepdims=True)
    qs = rng.standard_normal((queries, dim), dtype=np.float32)
    qs /= np.linalg.norm(qs, axis=1, keepdims=True)
    make_id = ID_SHAPES[shape][1]
    root = tempfile.mkdtemp(prefix="tornquil_bench_")
    try:
        db = tornquil.Tornquil(os.path.join(root, "db"))
        c = db.collection("bench", dim)
        t = time.perf_counter()
        step = 50_000
        for lo in range(0, n, step):
            hi = min(n, lo + step)
            ids = [make_id(i) for i in range(lo, hi)]
            c.add_batch(m[lo:hi], [{"source": "chat", "turn": i, "tag": f"t{i % 10}"}
                                   for i in range(lo, hi)], ids=None if ids[0] is None else ids)
        c.sync()
        fill = time.perf_counter() - t
        for q in qs[:10]:
            c.search(q, K)
        search = median_latency(c.search, [(q, K) for q in qs])
        del c, db
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return search, fill


def shape_table(sizes, shapes, queries):
    print(f"\n== search by id shape ==   k = {K}, cosine; NumPy timed after each row")
    print(f"  {'ids':<22}{'records':>10}{'dims':>6}{'search':>14}{'NumPy':>14}{'ratio':>8}"
          f"{'vs UUID':>9}")
    for n, dim in sizes:
        rows = []
        for shape in shapes:
            search, _ = run_shape(n, dim, shape, queries)
            reference = numpy_search(n, queries, dim)["median_s"]
            rows.append((shape, search, reference))
        uuid = next((s for shape, s, _ in rows if shape == "uuid"), None)
        for shape, search, reference in rows:
            vs_uuid = f"{search / uuid:>8.2f}x" if uuid else f"{'-':>9}"
            print(f"  {ID_SHAPES[shape][0]:<22}{n:>10,}{dim:>6}{fmt_latency(search)}"
                  f"{fmt_latency(reference)}{search / reference:>7.2f}x{vs_uuid}", flush=True)
    print("  targets: search <= 1.0x NumPy, and <= 1.2x the UUID row of the same size")


def import_onto_table(sizes):
    """Import of one export into an empty collection, then onto the same collection, which
    then holds every id: each line replaces a committed record."""
    print("\n== import_from_file: into an empty collection, and onto one holding every id ==")
    rng = np.random.default_rng(SEED)
    for n in sizes:
        root = tempfile.mkdtemp(prefix="tornquil_bench_")
        try:
            db = tornquil.Tornquil(os.path.join(root, "db"))
            src = db.collection("src", DIM)
            m = rng.standard_normal((n, DIM), dtype=np.float32)
            src.add_batch(m, [{"source": "chat", "turn": i} for i in range(n)],
                          ids=[f"mem-{i:07d}" for i in range(n)])
            path = os.path.join(root, "export.ndjson")
            src.export_to_file(path)
            del src
            db.drop_collection("src")
            dst = db.collection("dst", DIM)
            t = time.perf_counter()
            assert dst.import_from_file(path).imported == n
            empty = rate(n, time.perf_counter() - t)
            t = time.perf_counter()
            assert dst.import_from_file(path).imported == n
            onto = rate(n, time.perf_counter() - t)
            assert len(dst) == n
            del dst, db
        finally:
            shutil.rmtree(root, ignore_errors=True)
        print(f"  {n:>9,} records: empty {fmt_rate(empty)}   onto existing {fmt_rate(onto)}"
              f"   {onto / empty:.2f}x (target >= 0.5x)", flush=True)


# ---- The roads of one search ----


def clustered(rng, n, dim, centres):
    """Unit vectors around a few hundred topics, as sentence embeddings of one agent's
    memories fall: many near-duplicates, no two exactly alike."""
    v = centres[rng.integers(0, len(centres), n)] + 0.35 * rng.standard_normal((n, dim),
                                                                               dtype=np.float32)
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    return v.astype(np.float32)


def fill_clustered(c, n, dim, rng, centres, make_id, make_meta):
    """Fills c with n clustered records in add_batch steps of 50,000, as a collection grows;
    make_id(i) gives None for ids the collection generates."""
    step = 50_000
    for lo in range(0, n, step):
        hi = min(n, lo + step)
        ids = [make_id(i) for i in range(lo, hi)]
        c.add_batch(clustered(rng, hi - lo, dim, centres), [make_meta(i) for i in range(lo, hi)],
                    ids=None if ids[0] is None else ids)
    c.sync()


def rss_now():
    """Anonymous resident memory: the vector file's pages are the file's."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def run_roads(n, dim, shape, queries):
    """Median latency of each road a search of a collection of n records can take."""
    import resource
    rng = np.random.default_rng(SEED)
    centres = rng.standard_normal((256, dim), dtype=np.float32)
    make_id = ID_SHAPES[shape][1]
    qs = clustered(rng, queries, dim, centres)
    turns = min(queries, 40)
    fresh = clustered(rng, 2 * turns, dim, centres)
    root = tempfile.mkdtemp(prefix="tornquil_bench_")
    out = {}
    try:
        db = tornquil.Tornquil(os.path.join(root, "db"))
        c = db.collection("bench", dim)
        fill_clustered(c, n, dim, rng, centres, make_id,
                       lambda i: {"half": i % 2, "source": "chat", "turn": i})
        before = rss_now()
        for q in qs[:10]:
            c.search(q, K)
        out["rss_growth"] = rss_now() - before
        out["unchanged"] = median_latency(c.search, [(q, K) for q in qs])
        out["empty_filter"] = median_latency(c.search, [(q, K, {}) for q in qs])
        out["half_filter"] = median_latency(c.search, [(q, K, {"half": 1}) for q in qs])
        first, second = [], []
        for t in range(turns):
            c.add(fresh[t], {"half": t % 2, "source": "chat", "turn": n + t})
            c.sync()
            for times in (first, second):
                s = time.perf_counter()
                c.search(qs[t], K)
                times.append(time.perf_counter() - s)
        out["first"] = statistics.median(first)
        out["second"] = statistics.median(second)
        adds, loop = [], []
        for t in range(turns):
            s = time.perf_counter()
            c.add(fresh[turns + t], {"half": t % 2, "source": "chat", "turn": n + turns + t})
            adds.append(time.perf_counter() - s)
            time.sleep(0.15)
            s = time.perf_counter()
            c.search(qs[t], K)
            loop.append(time.perf_counter() - s)
        out["loop_add"] = statistics.median(adds)
        out["loop_search"] = statistics.median(loop)
        # A batch into the searched collection: its writes are logged for the columns.
        rows = clustered(rng, 10_000, dim, centres)
        metas = [{"half": i % 2, "source": "chat", "turn": i} for i in range(10_000)]
        s = time.perf_counter()
        c.add_batch(rows, metas)
        out["batch"] = time.perf_counter() - s
        s = time.perf_counter()
        c.search(qs[0], K)
        out["after_batch"] = time.perf_counter() - s
        out["peak_rss"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        del c, db
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return out


ROADS = [
    ("unfiltered, nothing committed since the last search", "unchanged", 0.8),
    ("first search after a commit", "first", 0.8),
    ("second search after a commit", "second", 0.8),
    ("where_={}", "empty_filter", 0.8),
    ("one-field filter matching half the records", "half_filter", 1.2),
    ("agent loop: add, wait 150 ms, search", "loop_search", None),
]


def road_table(configs, queries):
    print(f"\n== roads of a search ==   k = {K}, cosine, clustered vectors; ratio to NumPy's"
          f" M @ q + argpartition over a matrix of the same size, timed after each column;"
          f" load {os.getloadavg()[0]:.1f}")
    results = []
    for n, dim, shape in configs:
        r = run_roads(n, dim, shape, queries)
        r["numpy"] = numpy_search(n, queries, dim)["median_s"]
        results.append(((n, dim, shape), r))
    head = "".join(f"{f'{n:,} x {dim} {shape}':>26}" for (n, dim, shape), _ in results)
    print(f"  {'road':<54}{head}   goal")
    for name, key, goal in ROADS:
        cells = "".join(f"{r[key] / r['numpy']:>9.2f}x {r[key] * 1e3:>8.2f} ms    "
                        for _, r in results)
        print(f"  {name:<54}{cells}{'<= %.1fx' % goal if goal else ''}")
    print(f"  {'NumPy':<54}" + "".join(f"{'':>10} {r['numpy'] * 1e3:>8.2f} ms    "
                                         for _, r in results))
    print(f"  {'add in the agent loop':<54}" + "".join(f"{'':>10} {r['loop_add'] * 1e3:>8.2f} ms    "
                                                         for _, r in results))
    print(f"  {'add_batch of 10,000 into the searched collection':<54}" +
          "".join(f"{'':>10} {r['batch'] * 1e3:>8.1f} ms    " for _, r in results))
    print(f"  {'the search after it':<54}" +
          "".join(f"{r['after_batch'] / r['numpy']:>9.2f}x {r['after_batch'] * 1e3:>8.2f} ms    "
                  for _, r in results))
    print(f"  {'anonymous memory taken by the first searches':<54}" +
          "".join(f"{'':>10} {r['rss_growth'] / 2**20:>8.1f} MiB   " for _, r in results))
    print(f"  {'peak resident memory of the process so far':<54}" +
          "".join(f"{'':>10} {r['peak_rss'] / 2**20:>8.0f} MiB   " for _, r in results))
    print(f"  load after the table: {os.getloadavg()[0]:.1f}")


# ---- Filtered search by id shape ----

FILTER_SHAPES = {
    "padded": "zero-padded g%06d",
    "generated": "generated UUID",
}

FILTERS = [
    ("none", None),
    ("{}", {}),
    ('{"kind": "a"} (half match)', {"kind": "a"}),
    ('{"i": {"$gte": n/2}}', "half_range"),
    ('{"kind": {"$in": ["a"]}}', {"kind": {"$in": ["a"]}}),
]


def run_filters(n, dim, shape, queries, passes):
    """Median latency of a search with each filter of FILTERS over n clustered records with
    metadata {"kind": "a"|"b", "i": i} and ids of the given shape, added in steps; each
    query is timed `passes` times, the filters taking turns, so that a moment of load on a
    busy machine does not fall on one filter alone."""
    rng = np.random.default_rng(SEED)
    centres = rng.standard_normal((256, dim), dtype=np.float32)
    qs = clustered(rng, queries, dim, centres)
    width = max(6, len(str(n - 1)))
    root = tempfile.mkdtemp(prefix="tornquil_bench_")
    try:
        db = tornquil.Tornquil(os.path.join(root, "db"))
        c = db.collection("bench", dim)
        fill_clustered(c, n, dim, rng, centres,
                       (lambda i: None) if shape == "generated" else (lambda i: f"g{i:0{width}d}"),
                       lambda i: {"kind": "ab"[i % 2], "i": i})
        for q in qs[:10]:
            c.search(q, K)
        times = {name: [] for name, _ in FILTERS}
        for _ in range(passes):
            for name, where in FILTERS:
                if where == "half_range":
                    where = {"i": {"$gte": n // 2}}
                args = [(q, K) if where is None else (q, K, where) for q in qs]
                for a in args[:3]:
                    c.search(*a)
                for a in args:
                    t = time.perf_counter()
                    c.search(*a)
                    times[name].append(time.perf_counter() - t)
        out = {name: statistics.median(t) for name, t in times.items()}
        del c, db
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return out


def filter_table(sizes, queries, passes):
    print(f"\n== filtered search by id shape ==   k = {K}, cosine, clustered vectors, metadata"
          f' {{"kind": "a"|"b", "i": n}}; median of {queries} queries x {passes} passes; ratio to NumPy\'s'
          f" M @ q + argpartition timed after each size; load {os.getloadavg()[0]:.1f}")
    for n, dim in sizes:
        rows = {shape: run_filters(n, dim, shape, queries, passes) for shape in FILTER_SHAPES}
        reference = numpy_search(n, queries, dim)["median_s"]
        print(f"  {n:,} x {dim}: NumPy {fmt_latency(reference)}")
        head = "".join(f"{label:>30}" for label in FILTER_SHAPES.values())
        print(f"    {'where_':<30}{head}{'generated / padded':>22}")
        for name, _ in FILTERS:
            cells = "".join(f"{rows[s][name] * 1e3:>12.2f} ms {rows[s][name] / reference:>6.2f}x"
                            f"{'':>6}" for s in FILTER_SHAPES)
            print(f"    {name:<30}{cells}{rows['generated'][name] / rows['padded'][name]:>17.2f}x",
                  flush=True)
    print("  goals: a one-field filter matching half <= 1.0x NumPy for both id shapes; generated"
          " within 1.3x of padded on every filtered road; unfiltered <= 0.8x")
    print(f"  load after the table: {os.getloadavg()[0]:.1f}")


# ---- Memory of the record columns ----

# Runs in a fresh process on a collection another process filled: the anonymous memory its
# first searches take, which is the record columns the second one takes out of the table.
_COLUMNS_CHILD = """
import sys
import numpy as np
import tornquil
path, name, dim = sys.argv[1], sys.argv[2], int(sys.argv[3])
def anon():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
c = tornquil.Tornquil(path).get_collection(name)
q = np.ones(dim, np.float32)
before = anon()
for _ in range(3):
    c.search(q, 10)
print(anon() - before)
"""


def columns_memory_table(sizes):
    print("\n== memory of the record columns ==   generated ids (36 bytes), metadata of 40"
          " bytes; anonymous memory of the first three searches in a fresh process")
    for n, dim in sizes:
        rng = np.random.default_rng(SEED)
        centres = rng.standard_normal((256, dim), dtype=np.float32)
        root = tempfile.mkdtemp(prefix="tornquil_bench_")
        try:
            path = os.path.join(root, "db")
            db = tornquil.Tornquil(path)
            c = db.collection("mem", dim)
            fill_clustered(c, n, dim, rng, centres, lambda i: None,
                           lambda i: {"i": f"{i:07d}", "kind": "ab"[i % 2], "src": "notes"})
            del c, db
            out = subprocess.run([sys.executable, "-c", _COLUMNS_CHILD, path, "mem", str(dim)],
                                 capture_output=True, text=True, check=True)
            grown = int(out.stdout.split()[-1])
        finally:
            shutil.rmtree(root, ignore_errors=True)
        print(f"  {n:>9,} x {dim}: {grown / 2**20:8.1f} MiB, {grown / n:6.1f} bytes a record",
              flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--compact", default="200000:100000,1000000:10000",
                        help="total:expired pairs; empty to skip")
    parser.add_argument("--shape-sizes", default="104000:384,150000:384,1000000:128")
    parser.add_argument("--shapes", default=",".join(ID_SHAPES))
    parser.add_argument("--shape-queries", type=int, default=100)
    parser.add_argument("--import-sizes", default="10000,100000")
    parser.add_argument("--roads", default="100000:384:r,100000:384:uuid,1000000:128:r",
                        help="records:dims:ids triples for the table of search roads")
    parser.add_argument("--road-queries", type=int, default=100)
    parser.add_argument("--filter-sizes", default="100000:384,1000000:128",
                        help="records:dims pairs for the table of filtered searches by id shape")
    parser.add_argument("--filter-queries", type=int, default=35)
    parser.add_argument("--filter-passes", type=int, default=3)
    parser.add_argument("--columns-memory", default="1000000:128",
                        help="records:dims pairs for the memory of the record columns")
    args = parser.parse_args()

    ensure_openblas()
    print(f"tornquil benchmark: {DIM} dimensions, k = {K}, cosine; {os.cpu_count()} logical CPUs")
    for n in (int(s) for s in filter(None, args.sizes.split(","))):
        r = run_size(n, args.queries)
        print(f"\n== {n:,} records ==   NumPy BLAS: {r['blas']}")
        print(f"  add (float32, 3-key metadata) {fmt_rate(r['add'])}   target >= 50,000 /s")
        print(f"  add_batch (C-order float32)   {fmt_rate(r['add_batch'])}   target >= 250,000 /s,"
              f" {r['add_batch'] / r['add']:.1f}x add (target >= 10x)")
        print(f"    peak memory growth {r['add_batch_peak'] / 2**20:,.0f} MiB for an input of"
              f" {n * DIM * 4 / 2**20:,.0f} MiB; json.dumps of the dicts alone"
              f" {r['json_dumps'] * 1e3:,.0f} ms")
        if r["reuse_written"] is not None:
            print(f"    then add + sync into a slot the batch wrote and a delete freed:"
                  f" {r['reuse_written'] / 1024:,.0f} KiB written per call")
        print(f"  get                           {fmt_rate(r['get'])}   target >= 200,000 /s")
        print(f"  delete (committed records)    {fmt_rate(r['delete'])}")
        print(f"  upsert (of committed ids)     {fmt_rate(r['upsert'])}")
        print(f"  len                           {fmt_latency(r['len'])}")
        print(f"  search                        {fmt_latency(r['search'])}")
        print(f"  search, one-field filter      {fmt_latency(r['search_filter'])}"
              f"   {r['search_filter'] / r['search']:.2f}x unfiltered (target <= 3x)")
        print(f"  NumPy M @ q + argpartition    {fmt_latency(r['numpy_search'])}"
              f"   search is {r['search'] / r['numpy_search']:.2f}x NumPy (target <= 2.5x)")
        print(f"  export_to_file                {fmt_rate(r['export'])}   target >= 100,000 /s;"
              f" peak +{r['export_peak']:.1f} MiB")
        print(f"  import_from_file              {fmt_rate(r['import'])}   target >= 40,000 /s"
              f" and >= add / 1.5 ({r['import'] / r['add']:.2f}x add); peak"
              f" +{r['import_peak']:.1f} MiB")
    for pair in filter(None, args.compact.split(",")):
        total, expired = map(int, pair.split(":"))
        r = run_compact(total, expired)
        print(f"\n== compact: {expired:,} expired of {total:,} ==")
        print(f"  insert (add_batch) {r['insert']:>8.2f} s")
        print(f"  compact            {r['compact']:>8.2f} s   {r['compact'] / r['insert']:.2f}x the"
              f" insert (target <= 2x)")
    shape_sizes = [tuple(int(x) for x in s.split(":")) for s in args.shape_sizes.split(",") if s]
    if shape_sizes:
        shape_table(shape_sizes, [s for s in args.shapes.split(",") if s], args.shape_queries)
    import_sizes = [int(s) for s in args.import_sizes.split(",") if s]
    if import_sizes:
        import_onto_table(import_sizes)
    roads = [(int(n), int(d), shape) for n, d, shape in
             (r.split(":") for r in args.roads.split(",") if r)]
    if roads:
        road_table(roads, args.road_queries)
    filter_sizes = [tuple(int(x) for x in s.split(":")) for s in args.filter_sizes.split(",") if s]
    if filter_sizes:
        filter_table(filter_sizes, args.filter_queries, args.filter_passes)
    memory_sizes = [tuple(int(x) for x in s.split(":")) for s in args.columns_memory.split(",")
                    if s]
    if memory_sizes:
        columns_memory_table(memory_sizes)


if __name__ == "__main__":
    main()
