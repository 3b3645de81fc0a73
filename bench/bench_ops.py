"""Whole-operation benchmark of tornquil, run by hand: add, add_batch, get, search with and
without a filter, delete, upsert and len at 10,000 and 100,000 records of 384 dimensions, next
to a NumPy brute-force search (M @ q + argpartition) over the same matrix.

    .venv/bin/python bench/bench_ops.py [--sizes 10000,100000] [--queries 200]

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
import threading
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


def numpy_search(n, queries):
    out = subprocess.run([sys.executable, "-c", NUMPY_SIDE, str(n), str(DIM), str(K), str(SEED),
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


def fmt_rate(r):
    return f"{r:>12,.0f} /s"


def fmt_latency(s):
    return f"{s * 1e3:>10.3f} ms"


class RssPeak:
    """The largest growth of the resident set over its value at entry, sampled every
    millisecond by a thread (which runs while a call has released the GIL)."""

    def __enter__(self):
        self.base = self.growth = 0
        self.base = self._rss()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample)
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self.growth = max(self.growth, self._rss() - self.base)

    def _sample(self):
        while not self._stop.wait(0.001):
            self.growth = max(self.growth, self._rss() - self.base)

    @staticmethod
    def _rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


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
            cb.add_batch(m, metas)
            result["add_batch"] = rate(n, time.perf_counter() - t)
        result["add_batch_peak"] = rss.growth
        t = time.perf_counter()
        for md in metas:
            json.dumps(md)
        result["json_dumps"] = time.perf_counter() - t
        del cb

        c = db.collection("bench", DIM)

        t = time.perf_counter()
        for v, md, rid in zip(rows, metas, ids):
            c.add(v, md, rid)
        c.sync()
        result["add"] = rate(n, time.perf_counter() - t)

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000")
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()

    ensure_openblas()
    print(f"tornquil benchmark: {DIM} dimensions, k = {K}, cosine; {os.cpu_count()} logical CPUs")
    for n in (int(s) for s in args.sizes.split(",")):
        r = run_size(n, args.queries)
        print(f"\n== {n:,} records ==   NumPy BLAS: {r['blas']}")
        print(f"  add (float32, 3-key metadata) {fmt_rate(r['add'])}   target >= 50,000 /s")
        print(f"  add_batch (C-order float32)   {fmt_rate(r['add_batch'])}   target >= 250,000 /s,"
              f" {r['add_batch'] / r['add']:.1f}x add (target >= 10x)")
        print(f"    peak memory growth {r['add_batch_peak'] / 2**20:,.0f} MiB for an input of"
              f" {n * DIM * 4 / 2**20:,.0f} MiB; json.dumps of the dicts alone"
              f" {r['json_dumps'] * 1e3:,.0f} ms")
        print(f"  get                           {fmt_rate(r['get'])}   target >= 200,000 /s")
        print(f"  delete (committed records)    {fmt_rate(r['delete'])}")
        print(f"  upsert (of committed ids)     {fmt_rate(r['upsert'])}")
        print(f"  len                           {fmt_latency(r['len'])}")
        print(f"  search                        {fmt_latency(r['search'])}")
        print(f"  search, one-field filter      {fmt_latency(r['search_filter'])}"
              f"   {r['search_filter'] / r['search']:.2f}x unfiltered (target <= 3x)")
        print(f"  NumPy M @ q + argpartition    {fmt_latency(r['numpy_search'])}"
              f"   search is {r['search'] / r['numpy_search']:.2f}x NumPy (target <= 2.5x)")


if __name__ == "__main__":
    main()
