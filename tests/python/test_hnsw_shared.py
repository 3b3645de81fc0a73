"""Records that share one vector on the graph's road, through the public module: an agent
often stores one text, and so one vector, several times under different ids. Half of the
records of a collection that grows in steps are copies of one vector (or copies a tiny offset
apart); the first step is built in one rebuild and the later ones on the incremental road.
Every live record must stay reachable, and the copies must come back for the shared vector
and for each copy's own vector.

For `dot` a vector's best match need not be itself (a longer vector in its direction scores
higher), so there the copies are asked for within the rank the exact road gives them.
"""

import numpy as np
import pytest

from test_hnsw import DIMS, clustered, ids, open_graph  # noqa: F401 (open_graph: a fixture)

STEPS = [2000, 1000, 1000]


def shared_records(metric, kind, seed):
    """Batches of (vectors, ids): every other record a copy of one vector, or for "near" that
    vector with a tiny offset on one component; the others clustered. Returns the batches
    and the ids of the copies."""
    total = sum(STEPS)
    others = clustered(total, 40, seed=seed, metric=metric)
    shared = clustered(1, 40, seed=seed + 100, metric=metric)[0]
    vectors, names, copies = [], [], set()
    for i in range(total):
        if i % 2 == 0:
            v = shared.copy()
            if kind == "near":
                v[i % DIMS] += 1e-4 * (1 + i % 3)
            name = f"copy-{i:05d}"
            copies.add(name)
        else:
            v, name = others[i], f"r{i:05d}"
        vectors.append(v)
        names.append(name)
    vectors = np.asarray(vectors, dtype=np.float32)
    batches, at = [], 0
    for n in STEPS:
        batches.append((vectors[at : at + n], names[at : at + n]))
        at += n
    return batches, shared, copies


def dot_rank(exact, query, wanted):
    """How many records the exact road scores at least as high as the lowest of `wanted`
    (ties included: equal vectors score alike, and any of them may come first)."""
    hits = exact.search(query, 10**9)
    lowest = min(h.score for h in hits if h.id in wanted)
    return sum(h.score >= lowest for h in hits)


@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("kind", ["equal", "near"])
@pytest.mark.parametrize("metric", ["l2", "cosine", "dot"])
def test_records_that_share_a_vector_stay_reachable_as_the_graph_grows(
    open_graph, capfd, metric, kind, seed
):
    db, graph = open_graph("g", metric)
    exact = db.collection("exact", DIMS, metric)
    batches, shared, copies = shared_records(metric, kind, seed)
    live, live_copies = [], []
    for step, (vectors, names) in enumerate(batches):
        graph.add_batch(vectors, [{}] * len(names), names)
        exact.add_batch(vectors, [{}] * len(names), names)
        capfd.readouterr()
        live += names
        live_copies += [n for n in names if n in copies]
        every = ids(graph.search(shared, 10**9))
        if step > 0:
            assert "HNSW Build Profile" not in capfd.readouterr().err  # the incremental road
        assert sorted(every) == sorted(live), (step, len(set(live) - set(every)))

        # The shared vector finds all its copies within their count (for dot, within the
        # rank the exact road gives the last of them).
        want = set(live_copies)
        k = len(want) if metric != "dot" else dot_rank(exact, shared, want)
        found = set(ids(graph.search(shared, k)))
        assert want <= found, (step, len(want - found))

        # And each copy is found by its own vector within its copies' count.
        by_name = dict(zip(names, vectors))
        for name in [n for n in names if n in copies][::50]:
            own = by_name[name]
            k = len(want) if metric != "dot" else dot_rank(exact, own, {name})
            assert name in ids(graph.search(own, k)), (step, name)
