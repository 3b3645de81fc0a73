"""An import onto ids the collection already holds, killed at any moment: every id reads
as its old record or its new one, never as absent, and its vector matches its metadata."""

import json
import random
import signal
import time
import zlib

import numpy as np

import tornquil
from helpers import kill_once_ready

DIM = 8
N = 20000


def vec(rid, version):
    seed = zlib.crc32(f"{rid}:{version}".encode())
    return np.random.default_rng(seed).standard_normal(DIM).astype(np.float32)


def rid_of(i):
    return f"mem-{i:06d}"  # zero-padded, as agents name their records


def export_text(version):
    lines = [json.dumps({"version": 1, "collection": "k", "dimensions": DIM, "metric": "l2",
                         "record_count": N, "exported_at": 0}, separators=(",", ":"))]
    for i in range(N):
        rid = rid_of(i)
        lines.append(json.dumps({"id": rid, "vector": vec(rid, version).tolist(),
                                 "metadata": {"v": version}}, separators=(",", ":")))
    return "\n".join(lines) + "\n"


IMPORT_CHILD = """
import sys, tornquil
c = tornquil.Tornquil(sys.argv[1]).get_collection("k")
print("ready", flush=True)
c.import_from_file(sys.argv[2])
print("done", flush=True)
"""


def test_a_killed_import_onto_existing_ids_keeps_each_old_or_new_record(tmp_path):
    path = str(tmp_path / "db")
    c = tornquil.Tornquil(path).collection("k", DIM, "l2")
    ids = [rid_of(i) for i in range(N)]
    first = tmp_path / "v0.ndjson"
    first.write_text(export_text(0))
    took = time.monotonic()
    assert c.import_from_file(str(first)).imported == N
    took = time.monotonic() - took  # the kills land within an import this long
    c.sync()
    del c
    state = dict.fromkeys(ids, 0)  # id -> the version it last read as
    rng = random.Random(11)
    killed_mid_way = 0
    for cycle in range(1, 21):
        source = tmp_path / f"v{cycle}.ndjson"
        source.write_text(export_text(cycle))
        status, err = kill_once_ready(tmp_path / f"log{cycle}", rng.uniform(0.05, 1.0) * took,
                                      IMPORT_CHILD, path, source)
        assert status in (0, -signal.SIGKILL), err
        db = tornquil.Tornquil(path)
        c = db.get_collection("k")
        seen_new = 0
        for i, rid in enumerate(ids):
            got = c.get(rid)
            assert got is not None, f"cycle {cycle}: {rid} lost both its records"
            v = got.metadata["v"]
            assert v in (state[rid], cycle), (cycle, rid, v, state[rid])
            seen_new += v == cycle
            state[rid] = v
            if i % 97 == 0:
                hit = c.search(vec(rid, v), 1)[0]
                assert (hit.id, hit.score) == (rid, 0.0), (cycle, rid, v)
        assert len(c) == N
        killed_mid_way += 0 < seen_new < N
        del c, db
    print(f"imports killed part-way: {killed_mid_way} of 20")
