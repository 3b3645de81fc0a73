"""The graph's query through the Python API: per-call time of Collection.search on a
collection with graph parameters, to set beside the core's own figures of bench_hnsw.

100,000 embedding-like vectors of 384 dimensions (component i scaled by 1/sqrt(i), a random
rotation, unit length), cosine, m = 16, m0 = 32, ef_construction = 200, ef_search 100 (the
graph parameters are written into the registry entry, which Tornquil.collection never does).
Reports, per call on one thread: search(q, 10) with the graph's road, and search(q, 0),
which crosses the same binding, refresh check and locks but walks nothing, so it is the
floor of what the Python layer adds.

Usage: bench_hnsw_query.py [nodes]   (run from the venv: .venv/bin/python)
"""

import gc
import math
import os
import struct
import sys
import tempfile
import time

import lmdb
import numpy as np

import tornquil

DIMS = 384


def embedding_like(n, rng):
    q, _ = np.linalg.qr(rng.standard_normal((DIMS, DIMS)))
    raw = rng.standard_normal((n, DIMS)) / np.sqrt(np.arange(1, DIMS + 1))
    out = raw @ q.T
    return (out / np.linalg.norm(out, axis=1, keepdims=True)).astype(np.float32)


def give_graph_params(path, name, ef_search):
    params = struct.pack("<5QdQ", 16, 32, 16, 200, ef_search, 1 / math.log(16), 0)
    env = lmdb.open(os.path.join(path, "meta.redb"), subdir=False, max_dbs=4)
    with env.begin(write=True) as txn:
        table = env.open_db(b"collections", txn=txn)
        key = name.encode() + b"\0"
        entry = txn.get(key, db=table)
        txn.put(key, entry[:-1] + b"\x01" + params, db=table)
    env.close()


def per_call(fn, queries):
    t0 = time.perf_counter()
    for q in queries:
        fn(q)
    return (time.perf_counter() - t0) / len(queries)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    rng = np.random.default_rng(7)
    data = embedding_like(n + 1000, rng)
    queries = data[n:]
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "db")
        db = tornquil.Tornquil(path)
        db.collection("g", DIMS, "cosine")
        del db
        gc.collect()
        give_graph_params(path, "g", 100)
        db = tornquil.Tornquil(path)
        coll = db.collection("g", DIMS, "cosine")
        coll.add_batch(data[:n], [{} for _ in range(n)], [f"id{i}" for i in range(n)])
        t0 = time.perf_counter()
        coll.sync()
        print(f"{n} nodes, build and save {time.perf_counter() - t0:.1f} s")

        coll.search(queries[0], 10)  # warm
        k10 = per_call(lambda q: coll.search(q, 10), queries)
        k0 = per_call(lambda q: coll.search(q, 0), queries)
        print(f"search(q, 10), ef_search 100: {k10 * 1e6:8.1f} us/call ({1 / k10:7.0f} QPS)")
        print(f"search(q, 0), no walk:        {k0 * 1e6:8.1f} us/call")


if __name__ == "__main__":
    main()
