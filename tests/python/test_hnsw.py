"""Search on a collection with graph parameters, through the public module: recall against
the exact road, exact matches, deleted and replaced records, filters, the write buffer, huge
k, and the saved index across a reopen.

`Tornquil.collection` never gives a collection graph parameters; only a registry entry that
carries them does. The fixture creates the collection, closes every handle, rewrites the
entry in the root store (an LMDB file) and opens the database again.
"""

import gc
import math
import os
import struct
import subprocess
import sys
import zlib

import lmdb
import numpy as np
import pytest

import tornquil

DIMS = 32
N = 2000


def graph_params(m=16, m0=32, m_max=16, ef_construction=100, ef_search=64):
    """The 56 stored bytes of the graph parameters."""
    return struct.pack("<5QdQ", m, m0, m_max, ef_construction, ef_search, 1 / math.log(m), 0)


def give_graph_params(path, name, params):
    """Rewrites the registry entry of `name` to carry `params`; no handle may be open."""
    env = lmdb.open(os.path.join(path, "meta.redb"), subdir=False, max_dbs=4)
    try:
        with env.begin(write=True) as txn:
            table = env.open_db(b"collections", txn=txn)
            key = name.encode() + b"\0"
            entry = txn.get(key, db=table)
            assert len(entry) == 29 + len(name.encode()) and entry[-1] == 0
            txn.put(key, entry[:-1] + b"\x01" + params, db=table)
            assert len(txn.get(key, db=table)) == 85 + len(name.encode())
    finally:
        env.close()


@pytest.fixture
def open_graph(path):
    """open_graph(name, metric, **params) -> (handle, collection) with graph parameters."""

    def make(name, metric="l2", **params):
        db = tornquil.Tornquil(path)
        db.collection(name, DIMS, metric)
        del db
        gc.collect()
        give_graph_params(path, name, graph_params(**params))
        db = tornquil.Tornquil(path)
        return db, db.collection(name, DIMS, metric)

    return make


def data(n=N, seed=0):
    return np.random.default_rng(seed).standard_normal((n, DIMS)).astype(np.float32)


def fill(coll, vectors, metadata=None, prefix="r"):
    for i, v in enumerate(vectors):
        coll.add(v, metadata(i) if metadata else {}, id=f"{prefix}{i}")
    coll.sync()


def ids(hits):
    return [h.id for h in hits]


def index_nodes(path, name):
    """(node slots, node ids) of the saved index."""
    raw = open(os.path.join(path, "collections", name, "hnsw.index"), "rb").read()
    (count,) = struct.unpack_from("<I", raw, 62)
    at = 68 + 4 * raw[67]
    (n,) = struct.unpack_from("<Q", raw, at)
    slots = list(struct.unpack_from(f"<{n}Q", raw, at + 8))
    at += 8 + 8 * n
    (n,) = struct.unpack_from("<Q", raw, at)
    at += 8
    names = []
    for _ in range(n):
        (length,) = struct.unpack_from("<Q", raw, at)
        names.append(raw[at + 8 : at + 8 + length].decode())
        at += 8 + length
    assert len(slots) == len(names) == count
    return slots, names


def with_crc(payload):
    return payload + struct.pack("<I", zlib.crc32(payload))


def lead_below_the_layer(raw):
    """The file with the first link of layer 1 turned to a node of level 0, which is not on
    that layer; the checksum made to fit again."""
    at = 68 + 4 * raw[67]
    (n,) = struct.unpack_from("<Q", raw, at)
    at += 8 + 8 * n
    (n,) = struct.unpack_from("<Q", raw, at)
    at += 8
    for _ in range(n):
        (length,) = struct.unpack_from("<Q", raw, at)
        at += 8 + length
    (n,) = struct.unpack_from("<Q", raw, at)
    levels = raw[at + 8 : at + 8 + n]
    at += 8 + n + 8  # the levels, then num_layers

    def lists(at):
        (count,) = struct.unpack_from("<Q", raw, at)
        at += 8
        out = []
        for _ in range(count):
            (length,) = struct.unpack_from("<Q", raw, at)
            out.append((at + 8, list(struct.unpack_from(f"<{length}I", raw, at + 8))))
            at += 8 + 4 * length
        return out, at

    offsets, at = lists(at)
    neighbours, _ = lists(at)
    ends, starts = offsets[1][1][1:], offsets[1][1][:-1]
    owner = next(i for i in range(len(levels)) if ends[i] > starts[i])
    where, entries = neighbours[1]
    listed = entries[starts[owner] : ends[owner]]
    low = next(i for i in range(len(levels)) if levels[i] == 0 and i != owner and i not in listed)
    pos = where + 4 * starts[owner]
    return with_crc(raw[:pos] + struct.pack("<I", low) + raw[pos + 4 : -4])


@pytest.fixture(params=["l2", "cosine"])
def twins(request, open_graph):
    """(graph, exact, vectors): the same records in a collection with graph parameters and in
    one that takes the exact road."""
    db, graph = open_graph("g", request.param)
    exact = db.collection("exact", DIMS, request.param)
    vectors = data()
    fill(graph, vectors)
    fill(exact, vectors)
    return graph, exact, vectors


def test_recall_at_10_against_the_exact_road(twins):
    graph, exact, _ = twins
    queries = data(100, seed=1)
    found = sum(
        len(set(ids(graph.search(q, 10))) & set(ids(exact.search(q, 10)))) for q in queries
    )
    assert found / (10 * len(queries)) >= 0.9


@pytest.mark.parametrize("metric", ["l2", "cosine"])
def test_an_exact_match_comes_first_with_its_exact_score(open_graph, metric):
    # A beam as wide as the collection reaches every linked node, so the stored twin of the
    # query must come back whatever the parallel build's timing made of the graph.
    db, graph = open_graph("g", metric, ef_search=N)
    exact = db.collection("exact", DIMS, metric)
    vectors = data()
    fill(graph, vectors)
    fill(exact, vectors)
    for i in range(0, N, 97):
        first = graph.search(vectors[i], 5)[0]
        assert first.id == f"r{i}"
        assert first.score == exact.search(vectors[i], 1)[0].score


@pytest.mark.parametrize("added_after", [0, 30], ids=["rebuilt", "extended"])
def test_a_deleted_record_is_never_returned(open_graph, added_after):
    # With more records added than deleted the graph is extended and keeps the deleted
    # records' nodes, which must still never answer.
    _, graph = open_graph("g")
    vectors = data()
    fill(graph, vectors)
    gone = range(0, N, 100)
    for i in gone:
        assert graph.delete(f"r{i}")
    fill(graph, data(added_after, seed=2), prefix="new")
    for i in gone:
        hits = graph.search(vectors[i], 10)
        assert len(hits) == 10
        assert f"r{i}" not in ids(hits)


def test_a_selective_filter_can_return_fewer_than_k_and_an_empty_one_widens_the_beam(open_graph):
    db, graph = open_graph("g", ef_search=1)
    exact = db.collection("exact", DIMS, "l2")
    vectors = data()
    group = lambda i: {"g": i % 100}
    fill(graph, vectors, group)
    fill(exact, vectors, group)
    q = vectors[7]

    # Only the 40 nearest candidates are filtered; the exact road finds all 20 members.
    few = graph.search(q, 10, {"g": 7})
    assert len(few) < 10
    assert all(h.metadata == {"g": 7} for h in few)
    assert len(exact.search(q, 10, {"g": 7})) == 10

    # {} passes everything, so it gives the first k of a search for 4 x k (the same walk);
    # past the node count the candidates stop at the node count.
    for k in (1, 10, 600):
        assert ids(graph.search(q, k, {})) == ids(graph.search(q, min(4 * k, N)))[:k]

    # With a beam of 2 the walk often misses; the beam of 8 that {} brings misses less.
    queries = data(200, seed=3)
    truth = [exact.search(v, 1)[0].id for v in queries]
    plain = sum(graph.search(v, 1)[0].id == t for v, t in zip(queries, truth))
    widened = sum(graph.search(v, 1, {})[0].id == t for v, t in zip(queries, truth))
    assert widened > plain


def test_a_buffered_record_is_found_on_the_graph_road(open_graph):
    _, graph = open_graph("g")
    fill(graph, data())
    graph.search(data(1, seed=9)[0], 1)  # builds the index
    fresh = data(1, seed=4)[0]
    graph.add(fresh, {"new": True}, id="fresh")
    for where in (None, {}, {"new": True}):
        hits = graph.search(fresh, 3, where)
        assert hits[0].id == "fresh" and hits[0].score == 0.0


def test_a_record_on_a_reused_slot_answers_and_the_deleted_one_does_not(open_graph, path):
    # The delete frees the slot and the next add takes it; with two adds against one delete
    # the refresh extends the graph, whose old node on that slot must not answer while the
    # new one must.
    _, graph = open_graph("g")
    vectors = data()
    fill(graph, vectors)
    assert graph.delete("r5")
    replacement, extra = data(2, seed=5)
    graph.add(replacement, {}, id="taker")
    graph.add(extra, {}, id="extra")
    graph.sync()

    slots, names = index_nodes(path, "g")
    assert len(names) == N + 2  # extended, not rebuilt
    taker_slot = slots[names.index("taker")]
    assert slots[names.index("r5")] == taker_slot  # both nodes on the one slot

    hits = graph.search(replacement, 5)
    assert hits[0].id == "taker" and hits[0].score == 0.0
    assert "r5" not in ids(graph.search(vectors[5], 10))


def test_a_record_replaced_under_its_id_is_scored_by_its_new_vector(open_graph, path):
    # The add with the same id gives the record a new slot and a new node; its old node
    # keeps the old vector and must not answer for it.
    _, graph = open_graph("g")
    vectors = data()
    fill(graph, vectors)
    new_vector, extra = data(2, seed=6)
    graph.add(new_vector, {}, id="r5")
    graph.add(extra, {}, id="extra")
    graph.sync()
    _, names = index_nodes(path, "g")
    assert names.count("r5") == 2

    hits = graph.search(vectors[5], 10)
    assert ids(hits).count("r5") <= 1
    expected = float(np.sum((vectors[5] - new_vector) ** 2, dtype=np.float32))
    for h in hits:
        if h.id == "r5":
            assert h.score == pytest.approx(expected, rel=1e-5)
    hits = graph.search(new_vector, 3)
    assert hits[0].id == "r5" and hits[0].score == 0.0
    assert ids(hits).count("r5") == 1


@pytest.mark.parametrize("k", [2**62, 2**63, 2**64 - 1])
@pytest.mark.parametrize("where", [None, {}], ids=["no filter", "empty filter"])
def test_a_huge_k_neither_wraps_nor_over_allocates(open_graph, k, where):
    _, graph = open_graph("g")
    vectors = data(300)
    fill(graph, vectors)
    graph.add(data(1, seed=7)[0], {}, id="buffered")
    hits = graph.search(vectors[0], k, where)
    assert hits[0].id == "r0"
    assert len(hits) == 301
    assert len(set(ids(hits))) == 301


def test_the_index_is_saved_by_sync_and_loaded_on_reopen(open_graph, path, capfd):
    db, graph = open_graph("g")
    vectors = data()
    fill(graph, vectors)
    index = os.path.join(path, "collections", "g", "hnsw.index")
    saved = open(index, "rb").read()
    assert index_nodes(path, "g")[1] == sorted(f"r{i}" for i in range(N))
    before = [ids(graph.search(v, 10)) for v in vectors[:50]]
    capfd.readouterr()
    del db, graph
    gc.collect()

    db = tornquil.Tornquil(path)
    graph = db.collection("g", DIMS, "l2")
    assert [ids(graph.search(v, 10)) for v in vectors[:50]] == before
    graph.sync()
    assert open(index, "rb").read() == saved
    # A rebuild of this many nodes writes its profile; loading the graph writes nothing.
    assert "HNSW Build Profile" not in capfd.readouterr().err


@pytest.mark.parametrize(
    "damage",
    [
        lambda raw: raw[: len(raw) // 2],
        lambda raw: raw[:100] + bytes([raw[100] ^ 0xFF]) + raw[101:],
        lambda raw: b"",
        # A well-formed file whose graph has nodes but no entry point: the tag at byte 67
        # cleared, the entry point's four bytes cut out, the checksum made to fit again.
        lambda raw: with_crc(raw[:67] + b"\x00" + raw[72:-4]),
        lead_below_the_layer,
    ],
    ids=["truncated", "flipped byte", "empty", "no entry point", "a link below its layer"],
)
def test_a_damaged_index_is_rebuilt_without_an_error(open_graph, path, capfd, damage):
    db, graph = open_graph("g")
    vectors = data()
    fill(graph, vectors)
    del db, graph
    gc.collect()
    index = os.path.join(path, "collections", "g", "hnsw.index")
    raw = open(index, "rb").read()
    with open(index, "wb") as f:
        f.write(damage(raw))
    capfd.readouterr()

    db = tornquil.Tornquil(path)
    graph = db.collection("g", DIMS, "l2")
    assert graph.search(vectors[3], 1)[0].id == "r3"
    assert f"HNSW Build Profile ({N} nodes):" in capfd.readouterr().err
    graph.sync()
    assert len(index_nodes(path, "g")[1]) == N


# Run in a second process: the records change there and it ends without sync, so the
# release flush commits them while hnsw.index still holds the graph of the first process,
# with as many nodes as there are live records again.
SECOND_PROCESS = """
import gc, sys
import numpy as np
import tornquil
path, what, dims = sys.argv[1], sys.argv[2], int(sys.argv[3])
vector = np.frombuffer(bytes.fromhex(sys.argv[4]), dtype=np.float32)
db = tornquil.Tornquil(path)
coll = db.collection("g", dims, "l2")
if what == "delete and add":
    assert coll.delete("r7")
    coll.add(vector, {"new": True}, id="fresh")
else:
    coll.upsert("r7", vector, {"new": True})
del coll, db
gc.collect()
"""


@pytest.mark.parametrize("what", ["delete and add", "upsert"])
def test_an_index_saved_before_another_process_changed_the_records_is_rebuilt(
    open_graph, path, what
):
    db, graph = open_graph("g")
    vectors = data(500)
    fill(graph, vectors)
    assert len(index_nodes(path, "g")[1]) == 500
    del db, graph
    gc.collect()

    fresh = data(1, seed=8)[0]
    subprocess.run(
        [sys.executable, "-c", SECOND_PROCESS, path, what, str(DIMS), fresh.tobytes().hex()],
        check=True,
    )
    assert len(index_nodes(path, "g")[1]) == 500  # the file was not written again

    db = tornquil.Tornquil(path)
    graph = db.collection("g", DIMS, "l2")
    assert len(graph) == 500
    fresh_id = "fresh" if what == "delete and add" else "r7"
    assert graph.get(fresh_id).metadata == {"new": True}
    hits = graph.search(fresh, 1)
    assert hits[0].id == fresh_id and hits[0].score == 0.0
    if what == "delete and add":
        assert "r7" not in ids(graph.search(vectors[7], 10**6))
    else:
        assert ids(graph.search(vectors[7], 10**6)).count("r7") == 1


def clustered(n, clusters, seed, metric, spread=0.3):
    """n vectors around `clusters` centres with uneven weights; unit length for cosine."""
    rng = np.random.default_rng(seed)
    centres = np.random.default_rng(100).standard_normal((clusters, DIMS))
    weights = 1 / np.sqrt(np.arange(1, clusters + 1))
    pick = rng.choice(clusters, size=n, p=weights / weights.sum())
    v = centres[pick] + spread * rng.standard_normal((n, DIMS))
    if metric == "cosine":
        v /= np.linalg.norm(v, axis=1, keepdims=True)
    return v.astype(np.float32)


def exact_top(vectors, queries, metric, k=10):
    """Indices of the exact top k of each query (float64, so ties in float32 fall either way)."""
    v = vectors.astype(np.float64)
    q = queries.astype(np.float64)
    if metric == "l2":
        score = -((q**2).sum(1)[:, None] - 2 * q @ v.T + (v**2).sum(1)[None, :])
    elif metric == "cosine":
        score = (q / np.linalg.norm(q, axis=1, keepdims=True)) @ (
            v / np.linalg.norm(v, axis=1, keepdims=True)
        ).T
    else:
        score = q @ v.T
    return np.argsort(-score, axis=1, kind="stable")[:, :k]


@pytest.mark.parametrize("metric", ["l2", "cosine", "dot"])
def test_a_graph_grown_on_the_incremental_road_finds_what_a_rebuild_finds(
    open_graph, path, capfd, metric
):
    # 3,000 records of 60 clusters are built in one rebuild; 3,000 more, from those clusters
    # and from 60 new ones, are added on the incremental road. A full rebuild of all 6,000
    # is the yardstick.
    half = 3000
    db, grown = open_graph("grown", metric)
    full = db.collection("full", DIMS, metric)
    del db, grown, full
    gc.collect()
    give_graph_params(path, "full", graph_params())
    db = tornquil.Tornquil(path)
    grown, full = db.collection("grown", DIMS, metric), db.collection("full", DIMS, metric)

    old = clustered(half, 60, seed=1, metric=metric)
    new = clustered(half, 120, seed=2, metric=metric)
    everything = np.concatenate([old, new])
    names = [f"a{i:05d}" for i in range(half)] + [f"b{i:05d}" for i in range(half)]
    grown.add_batch(old, [{}] * half, names[:half])
    grown.sync()
    capfd.readouterr()
    grown.add_batch(new, [{}] * half, names[half:])
    grown.sync()
    assert len(index_nodes(path, "grown")[1]) == 2 * half
    assert "HNSW Build Profile" not in capfd.readouterr().err  # extended, not rebuilt
    full.add_batch(everything, [{}] * (2 * half), names)
    full.sync()

    queries = clustered(300, 120, seed=3, metric=metric)
    truth = exact_top(everything, queries, metric)

    def recall(coll):
        found = 0
        for q, t in zip(queries, truth):
            found += len(set(ids(coll.search(q, 10))) & {names[i] for i in t})
        return found / truth.size

    recall_grown, recall_full = recall(grown), recall(full)
    assert recall_grown >= recall_full - 0.05, (recall_grown, recall_full)

    # Each sampled record must come back among the 10 hits for its own vector whenever the
    # exact top 5 of that vector holds it (always for l2 and cosine; for dot a longer vector
    # can win). The margin keeps float32 near-ties at rank 10 out of the count.
    sample = list(range(0, half, 6)) + list(range(half, 2 * half, 6))
    own_truth = exact_top(everything, everything[sample], metric, k=5)
    for part in (slice(0, len(sample) // 2), slice(len(sample) // 2, len(sample))):
        expected = found = 0
        for i, t in zip(sample[part], own_truth[part]):
            if i not in t:
                continue
            expected += 1
            found += names[i] in ids(grown.search(everything[i], 10))
        assert expected >= len(sample) // 8
        assert found >= 0.98 * expected, (found, expected)


@pytest.mark.parametrize("metric", ["l2", "cosine"])
def test_an_outlier_added_alone_on_the_incremental_road_is_found_by_its_own_vector(
    open_graph, metric
):
    # Far from every cluster, the outlier is the farthest entry of every list it joins; a
    # cut to the nearest entries would drop it from all of them.
    _, graph = open_graph("g", metric)
    vectors = clustered(3000, 60, seed=4, metric=metric)
    graph.add_batch(vectors, [{}] * len(vectors), [f"r{i:04d}" for i in range(len(vectors))])
    graph.sync()
    outlier = np.full(DIMS, 40.0, dtype=np.float32)
    outlier[::2] = -40.0
    graph.add(outlier, {}, id="outlier")
    graph.sync()
    hits = graph.search(outlier, 1)
    assert hits[0].id == "outlier"
    assert hits[0].score == (0.0 if metric == "l2" else pytest.approx(1.0, abs=1e-6))
