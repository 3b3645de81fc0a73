"""Writers beside steady searches, run by hand: upserts into one collection alone and beside
threads that search it in a loop. For each count of search threads the table gives the total
time of the upserts, the median and the worst single upsert, and the searches made meanwhile
(in all and per second).
A writer that the searchers keep out shows as a total far above the one alone.

    .venv/bin/python bench/bench_writers.py [--records 50000] [--dims 64] [--upserts 200]
        [--searchers 0,3,7] [--k 10]

Each row upserts ids of its own (existing records, new vectors) into the same collection, so
the rows differ only in the searches beside them. The machine may be busy with other work:
compare rows of one run, not runs.
"""

import argparse
import os
import statistics
import tempfile
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # idle BLAS threads must not spin

import numpy as np  # noqa: E402

import tornquil  # noqa: E402


def clustered(rng, n, dims, centres):
    picks = rng.integers(0, len(centres), n)
    return (centres[picks] + rng.standard_normal((n, dims))).astype(np.float32)


def build(path, records, dims, rng):
    """A collection of `records` clustered vectors with zero-padded ids, committed."""
    centres = 4 * rng.standard_normal((40, dims))
    c = tornquil.Tornquil(path).collection("bench", dims, "l2")
    step = 10_000
    for start in range(0, records, step):
        stop = min(records, start + step)
        c.add_batch(clustered(rng, stop - start, dims, centres), [{"n": i} for i in range(start, stop)],
                    ids=[f"mem-{i:06d}" for i in range(start, stop)])
    c.sync()
    return c, centres


def run_row(c, rng, centres, ids, searchers, k):
    """(upsert times in seconds, searches made while the upserts ran)."""
    dims = c.dimensions
    queries = clustered(rng, 256, dims, centres)
    stop = threading.Event()
    started = threading.Barrier(searchers + 1)
    counts = [0] * searchers

    def search(t):
        started.wait()
        i = t
        while not stop.is_set():
            c.search(queries[i % len(queries)], k)
            counts[t] += 1
            i += searchers

    threads = [threading.Thread(target=search, args=(t,)) for t in range(searchers)]
    for t in threads:
        t.start()
    started.wait()
    vectors = clustered(rng, len(ids), dims, centres)
    times = []
    for rid, v in zip(ids, vectors):
        t0 = time.perf_counter()
        c.upsert(rid, v, {"upserted": True})
        times.append(time.perf_counter() - t0)
    stop.set()
    for t in threads:
        t.join()
    return times, sum(counts)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", type=int, default=50_000)
    ap.add_argument("--dims", type=int, default=64)
    ap.add_argument("--upserts", type=int, default=200)
    ap.add_argument("--searchers", default="0,3,7")
    ap.add_argument("--k", type=int, default=10)
    args = ap.parse_args()
    counts = [int(s) for s in args.searchers.split(",") if s]
    if args.upserts * len(counts) > args.records:
        ap.error("every row needs --upserts ids of its own")

    rng = np.random.default_rng(7)
    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.perf_counter()
        c, centres = build(os.path.join(tmp, "db"), args.records, args.dims, rng)
        print(f"{args.records} x {args.dims} l2 records built in {time.perf_counter() - t0:.1f} s; "
              f"{args.upserts} upserts per row, k={args.k}")
        print(f"{'searchers':>9}  {'total s':>9}  {'median ms':>9}  {'worst ms':>9}  "
              f"{'searches':>9}  {'per s':>9}")
        step = args.records // (args.upserts * len(counts))
        for row, searchers in enumerate(counts):
            # Spread over the collection, a different set of ids for each row.
            ids = [f"mem-{(j * len(counts) + row) * step:06d}" for j in range(args.upserts)]
            times, searches = run_row(c, rng, centres, ids, searchers, args.k)
            total = sum(times)
            print(f"{searchers:>9}  {total:>9.2f}  {statistics.median(times) * 1e3:>9.2f}  "
                  f"{max(times) * 1e3:>9.1f}  {searches:>9}  {searches / total:>9.0f}", flush=True)


if __name__ == "__main__":
    main()
