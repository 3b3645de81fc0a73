"""Collection.search: arguments, the exact road over committed records, the merge with the
write buffer, filters, ordering of ties, and a brute-force NumPy oracle."""

import math
import time

import numpy as np
import pytest

import tornquil
from helpers import buffered


def ids(hits):
    return [h.id for h in hits]


def scores(hits):
    return [h.score for h in hits]


@pytest.fixture
def small(db):
    """Five committed records on a dot-product collection, scores easy to predict."""
    c = db.collection("small", 2, "dot")
    for i, kind in enumerate(["a", "b", "a", "b", "a"]):
        c.add([float(i), 1.0], {"kind": kind, "n": i}, id=f"r{i}")
    c.sync()
    return c


# ---- Arguments ----


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (([1.0, 0.0], "3"), {}, TypeError, "argument 'k': 'str' object cannot be interpreted as an integer"),
        (([1.0, 0.0], 2.0), {}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        (([1.0, 0.0], None), {}, TypeError, "argument 'k': 'NoneType' object cannot be interpreted as an integer"),
        (([1.0, 0.0], -1), {}, OverflowError, "can't convert negative int to unsigned"),
        (([1.0, 0.0], 2**64), {}, OverflowError, "int too big to convert"),
        (([1.0, 0.0], 1, []), {}, TypeError, "argument 'where_': 'list' object cannot be converted to 'PyDict'"),
        # k and where_ are checked before the vector is converted.
        (("abc", 1, "x"), {}, TypeError, "argument 'where_': 'str' object cannot be converted to 'PyDict'"),
        (("abc", 1), {}, TypeError, "Can't extract `str` to `Vec`"),
        (([1.0, 0.0, 0.0], 1), {}, ValueError, "Dimension mismatch: expected 2, got 3"),
        (([1.0, 0.0],), {}, TypeError, "Collection.search() missing 1 required positional argument: 'k'"),
        (([1.0, 0.0], 1), {"where": {}}, TypeError, "Collection.search() got an unexpected keyword argument 'where'"),
        (([1.0, 0.0], 1, None, 1), {}, TypeError,
         "Collection.search() takes from 2 to 3 positional arguments but 4 were given"),
    ],
)
def test_search_argument_errors(small, args, kwargs, exc, message):
    with pytest.raises(exc) as err:
        small.search(*args, **kwargs)
    assert type(err.value) is exc
    assert err.value.args == (message,)


def test_search_takes_its_arguments_by_keyword(small):
    assert ids(small.search(where_={"kind": "b"}, k=1, vector=[1.0, 0.0])) == ["r3"]


def test_where_none_and_missing_are_the_same_and_empty_matches_all(small):
    q = [1.0, 0.5]
    want = ids(small.search(q, 10))
    assert want == ["r4", "r3", "r2", "r1", "r0"]
    assert ids(small.search(q, 10, None)) == want
    assert ids(small.search(q, 10, {})) == want


# ---- k ----


def test_k_zero_gives_an_empty_list_but_still_checks_the_query(small):
    small.add([9.0, 9.0], {}, id="buffered")
    assert small.search([1.0, 0.0], 0) == []
    assert small.search([1.0, 0.0], 0, {"kind": "a"}) == []
    with pytest.raises(ValueError, match="^Dimension mismatch: expected 2, got 1$"):
        small.search([1.0], 0)


@pytest.mark.parametrize("k", [6, 100, 2**63, 2**64 - 1])
def test_k_beyond_the_collection_gives_every_live_record(small, k):
    small.add([10.0, 1.0], {"kind": "a"}, id="buffered")
    assert small.delete("r0") is True
    got = small.search([1.0, 0.0], k)
    assert ids(got) == ["buffered", "r4", "r3", "r2", "r1"]
    assert ids(small.search([1.0, 0.0], k, {"kind": "a"})) == ["buffered", "r4", "r2"]


def test_expired_and_deleted_records_are_not_found(db):
    c = db.collection("c", 2, "dot")
    c.add([1.0, 0.0], {}, id="live")
    c.add([2.0, 0.0], {}, id="expired", ttl=0)
    c.add([3.0, 0.0], {}, id="deleted")
    c.delete("deleted")
    assert ids(c.search([1.0, 0.0], 10)) == ["live"]  # from the buffer
    c.add([4.0, 0.0], {}, id="deleted-later")
    c.sync()
    c.delete("deleted-later")
    assert ids(c.search([1.0, 0.0], 10)) == ["live"]  # from the table


# ---- Order and merge ----


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_results_come_best_first_for_each_metric(db, metric):
    c = db.collection("m", 2, metric)
    stored = {"near": [1.0, 0.0], "mid": [1.0, 1.0], "far": [-1.0, 0.2]}
    for rid, v in stored.items():
        c.add(v, {}, id=rid)
    c.sync()
    q = np.array([2.0, -0.5])
    got = c.search(q, 3)
    assert ids(got) == ["near", "mid", "far"]
    want = [oracle_scores(metric, np.array([v], np.float32), q)[0] for v in stored.values()]
    assert scores(got) == pytest.approx(want, rel=1e-6)


def committed(db, name, metric, rows):
    """make() for buffered(): a collection holding `rows` of (vector, id), all committed."""

    def make(attempt):
        c = db.collection(f"{name}{attempt}", len(rows[0][0]), metric)
        for v, rid in rows:
            c.add(v, {}, id=rid)
        c.sync()
        return c

    return make


def test_equal_scores_keep_id_order_then_buffer_order(db):
    # A zero query on a cosine collection scores every record 0.0.
    c = buffered(committed(db, "ties", "cosine", [([1.0, 2.0, 3.0], r) for r in "dbca"]),
                 [([3.0, 2.0, 1.0], {}, r) for r in "zy"])
    got = c.search([0.0, 0.0, 0.0], 10)
    assert ids(got) == ["a", "b", "c", "d", "z", "y"]
    assert scores(got) == [0.0] * 6
    assert ids(c.search(np.zeros(3, np.float32), 3)) == ["a", "b", "c"]


def test_buffered_hits_merge_behind_committed_hits_of_equal_score(db):
    c = buffered(committed(db, "merge", "dot", [([1.0, 0.0], "b-committed"),
                                                ([3.0, 0.0], "top-committed")]),
                 [([1.0, 0.0], {}, "a-buffered"), ([2.0, 0.0], {}, "mid-buffered")])
    got = c.search([1.0, 0.0], 10)
    assert ids(got) == ["top-committed", "mid-buffered", "b-committed", "a-buffered"]
    # Cut to k after the merge.
    assert ids(c.search([1.0, 0.0], 3)) == ["top-committed", "mid-buffered", "b-committed"]


def test_l2_merges_ascending(db):
    c = buffered(committed(db, "l2", "l2", [([5.0], "c5"), ([1.0], "c1")]),
                 [([3.0], {}, "b3"), ([1.0], {}, "b1")])
    got = c.search([0.0], 3)
    assert ids(got) == ["c1", "b1", "b3"]
    assert scores(got) == [1.0, 1.0, 9.0]


def test_a_record_added_a_moment_ago_is_found(db):
    c = db.collection("fresh", 3)
    rid = c.add([0.0, 0.0, 1.0], {"new": True})
    (hit,) = c.search([0.0, 0.0, 1.0], 1)
    assert (hit.id, hit.score, hit.metadata) == (rid, 1.0, {"new": True})


def test_nan_scores_come_last(db):
    # Finite extremes can still score NaN: their products overflow to +inf and -inf.
    c = db.collection("nan", 2, "dot")
    c.add([1.0, 0.0], {}, id="real")
    c.add([0.0, 0.0], {}, id="zero")
    c.add([3e38, 3e38], {}, id="nan-buffered")
    got = c.search([3e38, -3e38], 3)
    assert ids(got) == ["real", "zero", "nan-buffered"]
    assert math.isnan(got[2].score)


# ---- Query forms ----


def test_list_float32_and_float64_queries_give_the_same_results(db):
    rng = np.random.default_rng(7)
    c = db.collection("forms", 16)
    for i, v in enumerate(rng.standard_normal((50, 16)).astype(np.float32)):
        c.add(v, {"i": i}, id=f"{i:02d}")
    q64 = rng.standard_normal(16)
    q32 = q64.astype(np.float32)
    want = [(h.id, h.score) for h in c.search(q32, 10)]
    for q in (q32.tolist(), q64, q64.tolist(), tuple(q32), q32[::1], np.repeat(q32, 2)[::2]):
        assert [(h.id, h.score) for h in c.search(q, 10)] == want


# ---- Filters ----


@pytest.mark.parametrize(
    "where, want",
    [
        ({"kind": "a"}, ["r4", "r2", "r0"]),
        ({"kind": {"$ne": "a"}}, ["r3", "r1"]),
        ({"n": {"$gte": 2, "$lt": 4}}, ["r3", "r2"]),
        ({"n": {"$in": [0, 4, 9]}}, ["r4", "r0"]),
        ({"kind": "b", "n": {"$gt": 1}}, ["r3"]),
        ({"missing": 1}, []),
        ({"kind": "c"}, []),
    ],
)
def test_filters_select_committed_and_buffered_records(db, where, want):
    c = db.collection("f", 2, "dot")
    for i, kind in enumerate(["a", "b", "a", "b", "a"]):
        c.add([float(i), 1.0], {"kind": kind, "n": i}, id=f"r{i}")
        if i == 2:
            c.sync()  # r0..r2 committed, r3 and r4 buffered
    assert ids(c.search([1.0, 0.0], 10, where)) == want


def test_a_filtered_search_keeps_the_best_k_of_the_matching_records(db):
    c = db.collection("sel", 1, "dot")
    for i in range(200):
        c.add([float(i)], {"even": i % 2 == 0}, id=f"{i:03d}")
    c.sync()
    assert ids(c.search([1.0], 3, {"even": False})) == ["199", "197", "195"]


def test_results_are_search_results_with_float32_scores(small):
    (hit,) = small.search([0.1, 0.0], 1)
    assert type(hit) is tornquil.SearchResult
    assert hit.score == float(np.float32(0.1) * np.float32(4.0))
    assert repr(hit) == 'SearchResult(id=\'r4\', score=0.4000, metadata={"kind":"a","n":4})'


# ---- Against a brute-force oracle ----

N, DIM, K = 20_000, 32, 10


def oracle_scores(metric, stored, q):
    """Every record's score in float64 from the float32 vectors as they are stored."""
    if metric == "cosine":
        s = stored / np.linalg.norm(stored, axis=1, keepdims=True)
        return s.astype(np.float64) @ (q / np.linalg.norm(q)).astype(np.float64)
    if metric == "dot":
        return stored.astype(np.float64) @ q.astype(np.float64)
    return ((stored.astype(np.float64) - q.astype(np.float64)) ** 2).sum(axis=1)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    """Three collections of 20,000 committed records plus 50 buffered ones each."""
    rng = np.random.default_rng(2024)
    vectors = rng.standard_normal((N + 50, DIM)).astype(np.float32)
    groups = np.arange(N + 50) % 7
    db = tornquil.Tornquil(str(tmp_path_factory.mktemp("big") / "db"))
    colls = {}
    for metric in ["cosine", "dot", "l2"]:
        c = db.collection(metric, DIM, metric)
        for i in range(N):
            c.add(vectors[i], {"g": int(groups[i])}, id=f"{i:05d}")
        c.sync()
        for i in range(N, N + 50):
            c.add(vectors[i], {"g": int(groups[i])}, id=f"{i:05d}")
        colls[metric] = c
    return db, colls, vectors, groups, rng


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("where", [None, {}, {"g": 3}])
def test_search_matches_a_numpy_oracle(big, metric, where):
    _, colls, vectors, groups, rng = big
    c = colls[metric]
    higher_better = metric != "l2"
    for _ in range(5):
        q = rng.standard_normal(DIM).astype(np.float32)
        all_scores = oracle_scores(metric, vectors, q)
        eligible = np.arange(len(vectors)) if not where else np.flatnonzero(groups == 3)
        order = eligible[np.argsort(-all_scores[eligible] if higher_better else all_scores[eligible],
                                    kind="stable")]
        best = all_scores[order[:K]]
        got = c.search(q, K, where)
        assert len(got) == K
        got_rows = [int(h.id) for h in got]
        assert len(set(got_rows)) == K
        if where:
            assert all(groups[r] == 3 and h.metadata == {"g": 3} for r, h in zip(got_rows, got))
        # Position by position the chosen record is as good as the oracle's, up to rounding
        # of float32 accumulation; so a near-tie may swap places, a wrong record may not.
        tol = 1e-4 * max(1.0, float(np.abs(best).max()))
        assert np.abs(all_scores[got_rows] - best).max() <= tol
        assert np.allclose(scores(got), all_scores[got_rows], rtol=1e-5, atol=1e-5)
        s = scores(got)
        assert s == sorted(s, reverse=higher_better)


# ---- Repeated searches of an unchanged collection ----


def test_repeated_searches_give_the_first_searchs_hits_across_every_kind_of_change(db):
    """The first search after a change walks the records; the searches after it read what
    that walk left. Both must give the same hits, ties included, after every change."""
    rng = np.random.default_rng(5)
    pool = rng.standard_normal((6, 16)).astype(np.float32)  # few vectors: many equal scores
    c = db.collection("again", 16, "dot")
    order = rng.permutation(3000)  # ids out of slot order
    c.add_batch(pool[order % 6], [{"i": int(i)} for i in order],
                ids=[f"id-{i}" for i in order])
    queries = rng.standard_normal((4, 16)).astype(np.float32)

    def look():
        first = [[(h.id, h.score, h.metadata) for h in c.search(q, 25)] for q in queries]
        for _ in range(2):
            again = [[(h.id, h.score, h.metadata) for h in c.search(q, 25)] for q in queries]
            assert again == first
        # Ties stand in id order.
        for hits in first:
            for (a, sa, _), (b, sb, _) in zip(hits, hits[1:]):
                assert sa > sb or (sa == sb and a < b)
        return first

    seen = look()
    changes = [
        lambda: c.delete(seen[0][0][0]),
        lambda: c.upsert(seen[1][3][0], -pool[0], {"up": True}),
        lambda: (c.add(queries[1] * 10, {"new": 1}, id="aaa-new"), c.sync()),
    ]
    for change in changes:
        change()
        now = look()
        assert now != seen
        seen = now

    # A record that lives for `ttl` seconds is found; a look that may have run past its
    # expiry (a busy machine) proves nothing, and another record with a longer TTL is tried.
    ttl = 2
    while True:
        since = math.floor(time.time())  # the expiry is at least since + ttl
        c.add(queries[0] * 10, {"short": ttl}, id=f"short-lived-{ttl}", ttl=ttl)
        until = math.floor(time.time()) + ttl  # and at most this
        c.sync()
        try:
            now, failed = look(), None
        except AssertionError as e:
            now, failed = None, e
        if time.time() < since + ttl:
            if failed:
                raise failed
            break
        time.sleep(max(0.0, until - time.time()))
        seen, ttl = look(), ttl * 4
    assert now != seen
    seen = now
    time.sleep(max(0.0, until - time.time()))  # its TTL passes without a commit
    now = look()
    assert now != seen
    c.compact()  # removes what no search saw any more
    assert look() == now


# ---- The oracle between writes of every kind ----


def test_search_matches_the_oracle_between_writes_of_every_kind(db, tmp_path):
    """Searches right after each kind of write (flush, batch, delete, upsert, compaction,
    import), with and without filters, against a brute force over what the collection holds:
    the best scores, ties in id order, only live records that match."""
    rng = np.random.default_rng(11)
    dim = 16
    centres = rng.standard_normal((5, dim)).astype(np.float32)

    def clustered(n):
        v = centres[rng.integers(0, 5, n)].copy()
        near = rng.random(n) < 0.7  # the others are exact copies of a centre
        v[near] += 0.05 * rng.standard_normal((int(near.sum()), dim)).astype(np.float32)
        return v

    c = db.collection("oracle", dim, "cosine")
    live = {}  # id -> (vector, metadata)

    def put_batch(names, ttl=None):
        vs = clustered(len(names))
        metas = [{"g": int(i % 3), "n": int(i)} for i in range(len(names))]
        c.add_batch(vs, metas, ids=names, ttls=None if ttl is None else [ttl] * len(names))
        if ttl != 0:
            live.update({n: (v, m) for n, v, m in zip(names, vs, metas)})

    def check(after):
        names = sorted(live)
        stored = np.array([live[n][0] for n in names], np.float32)
        for q in [centres[0], centres[3], np.zeros(dim, np.float32), clustered(1)[0]]:
            norm = np.linalg.norm(q)
            for where in [None, {}, {"g": 1}, {"n": {"$lt": 40}}]:
                keep = [i for i, n in enumerate(names) if not where or all(
                    (live[n][1][f] == v if not isinstance(v, dict) else live[n][1][f] < v["$lt"])
                    for f, v in where.items())]
                s = stored[keep] / np.linalg.norm(stored[keep], axis=1, keepdims=True)
                want = (s.astype(np.float64) @ (q / norm if norm else q).astype(np.float64))
                order = np.argsort(-want, kind="stable")  # ids are sorted: ties in id order
                got = c.search(q, 12, where)
                assert len(got) == min(12, len(keep)), after
                got_ids = [h.id for h in got]
                assert len(set(got_ids)) == len(got_ids)
                by_id = {names[keep[i]]: want[i] for i in range(len(keep))}
                assert all(i in by_id for i in got_ids), after
                tol = 1e-4
                assert np.abs(np.array([by_id[i] for i in got_ids]) - want[order[:len(got)]]).max() <= tol, after
                for a, b in zip(got, got[1:]):
                    assert a.score > b.score or (a.score == b.score and a.id < b.id), after
                for h in got:
                    assert h.metadata == live[h.id][1]

    put_batch([f"m{i:05d}" for i in range(0, 3000, 2)])
    check("the first batch")
    check("a second look")
    for i in range(1, 400, 7):  # between the stored ids
        v = clustered(1)[0]
        c.add(v, {"g": i % 3, "n": i}, id=f"m{i:05d}")
        live[f"m{i:05d}"] = (v, {"g": i % 3, "n": i})
    c.sync()
    check("a flush")
    for n in sorted(live)[::11]:
        assert c.delete(n)
        del live[n]
    check("deletes")
    for n in sorted(live)[::13]:
        v = clustered(1)[0]
        c.upsert(n, v, {"g": 2, "n": 7})
        live[n] = (v, {"g": 2, "n": 7})
    check("upserts")
    put_batch([f"m{i:05d}" for i in range(5, 3000, 10)])  # new ids and replacements
    check("a batch")
    put_batch([f"m{i:05d}" for i in range(3, 3000, 100)], ttl=0)
    for n in [f"m{i:05d}" for i in range(3, 3000, 100)]:
        live.pop(n, None)
    check("expired records")
    c.compact()
    check("compaction")
    path = str(tmp_path / "all.ndjson")
    c.export_to_file(path)
    c.import_from_file(path)
    check("an import")
