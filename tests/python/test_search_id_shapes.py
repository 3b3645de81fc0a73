"""Filtered searches over collections whose ids are generated, zero-padded or added between
others, as they grow and change in steps: a search with where_ gives exactly the records
that the unfiltered ranking of the whole collection gives, in that order and with the same
scores, kept by the filter."""

import numpy as np
import pytest

DIM = 16

FILTERS = [
    ({"kind": "a"}, lambda m: m.get("kind") == "a"),
    ({"i": {"$gte": 1200}}, lambda m: m.get("i", -1) >= 1200),
    ({"kind": {"$in": ["b", "c"]}}, lambda m: m.get("kind") in ("b", "c")),
    ({"kind": "b", "i": {"$lt": 900}}, lambda m: m.get("kind") == "b" and m.get("i", 1e9) < 900),
    ({"kind": "none of them"}, lambda m: False),
]


class Memory:
    """A collection and the vectors its records come from: a few tight topics, some records
    exact copies of their topic, so that many scores tie and the id order decides."""

    def __init__(self, db, shape):
        self.c = db.collection(f"mem_{shape}", DIM, "cosine")
        self.shape = shape
        self.rng = np.random.default_rng(17)
        self.centres = self.rng.standard_normal((6, DIM)).astype(np.float32)
        self.next_i = 0

    def vectors(self, n):
        v = self.centres[self.rng.integers(0, len(self.centres), n)].copy()
        near = self.rng.random(n) < 0.6
        v[near] += 0.03 * self.rng.standard_normal((int(near.sum()), DIM)).astype(np.float32)
        return v

    def metas(self, n):
        out = [{"kind": "abc"[(self.next_i + j) % 3], "i": self.next_i + j} for j in range(n)]
        self.next_i += n
        return out

    def ids(self, numbers, between=False):
        if self.shape == "generated":
            return None
        return [f"mem-{i:07d}{'-b' if between else ''}" for i in numbers]

    def add_batch(self, n):
        first = self.next_i
        return self.c.add_batch(self.vectors(n), self.metas(n),
                                ids=self.ids(range(first * 10, (first + n) * 10, 10)))

    def add(self, number, between):
        ids = self.ids([number], between)
        return self.c.add(self.vectors(1)[0], self.metas(1)[0], id=None if ids is None else ids[0])


def expect_filters_keep_the_whole_ranking(m, after):
    total = len(m.c)
    for q in [*m.centres[:3], m.vectors(2)[0], m.vectors(2)[1]]:
        everything = m.c.search(q, total + 5)
        assert len(everything) == total, after
        for where, keep in FILTERS:
            want = [(h.id, h.score, h.metadata) for h in everything if keep(h.metadata)]
            for k in (1, 10, 400):
                got = [(h.id, h.score, h.metadata) for h in m.c.search(q, k, where)]
                assert got == want[:k], (after, where, k)


@pytest.mark.parametrize("shape", ["generated", "padded"])
def test_filtered_searches_keep_the_unfiltered_ranking_as_the_collection_changes(db, shape):
    m = Memory(db, shape)
    ids = []
    for _ in range(3):  # grown in steps
        ids += m.add_batch(700)
        expect_filters_keep_the_whole_ranking(m, f"{len(ids)} records")
    expect_filters_keep_the_whole_ranking(m, "a second look")

    for j in range(0, 200, 3):  # between the stored ids, flushed by the sync
        ids.append(m.add(j * 10 + 5, between=True))
    m.c.sync()
    expect_filters_keep_the_whole_ranking(m, "adds between")

    for rid in ids[::13]:
        assert m.c.delete(rid)
    expect_filters_keep_the_whole_ranking(m, "deletes")

    for j, rid in enumerate(ids[1::17]):
        m.c.upsert(rid, m.vectors(1)[0], {"kind": "c", "i": 5000 + j})
    m.c.sync()
    expect_filters_keep_the_whole_ranking(m, "upserts into freed slots")

    m.add_batch(500)
    for j in range(20):
        m.add(10**6 + j, between=False)  # still buffered
    expect_filters_keep_the_whole_ranking(m, "a batch and records still buffered")
