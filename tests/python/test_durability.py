"""What survives the end of a process: records acknowledged by sync survive SIGKILL, and
records a process added without sync survive its normal exit."""

import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tornquil

N, DIM = 1037, 8  # not a multiple of the flush threshold: a tail stays buffered


def vectors():
    return np.random.default_rng(11).standard_normal((N, DIM)).astype(np.float32)


def child(script):
    """Starts a Python child that sees the same tornquil as the tests."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


WRITER = """
    import sys
    import numpy as np
    import tornquil
    db = tornquil.Tornquil(sys.argv[1] if len(sys.argv) > 1 else {path!r})
    c = db.collection("c", {dim}, "l2")
    vs = np.random.default_rng(11).standard_normal(({n}, {dim})).astype(np.float32)
    for i, v in enumerate(vs):
        c.add(v, {{"i": i}}, id=f"{{i:04d}}")
    {after}
"""


def check_everything_stored(path, expect_deleted=()):
    c = tornquil.Tornquil(path).get_collection("c")
    vs = vectors()
    assert len(c) == N - len(expect_deleted)
    for i in range(N):
        r = c.get(f"{i:04d}")
        if f"{i:04d}" in expect_deleted:
            assert r is None
        else:
            assert r.metadata == {"i": i}
    # The vectors came back too: each probed record is its own nearest neighbour.
    for i in range(0, N, 97):
        if f"{i:04d}" in expect_deleted:
            continue
        hit = c.search(vs[i], 1)[0]
        assert (hit.id, hit.score) == (f"{i:04d}", 0.0)


def test_synced_records_survive_sigkill(tmp_path):
    path = str(tmp_path / "db")
    proc = child(WRITER.format(path=path, dim=DIM, n=N, after="""
    for i in range(0, 50, 5):
        c.delete(f"{i:04d}")
    c.sync()
    print("synced", flush=True)
    import threading
    threading.Event().wait()  # until the kill
    """))
    try:
        assert proc.stdout.readline().strip() == "synced", proc.stderr.read()
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
    assert proc.returncode == -signal.SIGKILL
    check_everything_stored(path, expect_deleted={f"{i:04d}" for i in range(0, 50, 5)})


def test_handle_sync_before_sigkill_is_enough(tmp_path):
    path = str(tmp_path / "db")
    proc = child(WRITER.format(path=path, dim=DIM, n=N, after="""
    db.sync()
    print("synced", flush=True)
    import os, signal
    os.kill(os.getpid(), signal.SIGKILL)
    """))
    proc.wait(timeout=60)
    assert proc.stdout.read().strip() == "synced"
    check_everything_stored(path)


@pytest.mark.parametrize(
    "after",
    [
        "",  # objects still alive when the interpreter finalises
        "del c, db",
        "del db  # the collection object outlives its handle until exit",
        "raise SystemExit(3)",
    ],
)
def test_records_added_without_sync_survive_a_normal_exit(tmp_path, after):
    path = str(tmp_path / "db")
    proc = child(WRITER.format(path=path, dim=DIM, n=N, after=after))
    out, err = proc.communicate(timeout=60)
    assert proc.returncode in (0, 3), err
    check_everything_stored(path)


def test_an_unsynced_tail_may_be_lost_on_sigkill_but_nothing_else(tmp_path):
    # After a sync, more records are added and the process is killed at once: the synced
    # ones are all there, and whatever else is there is whole.
    path = str(tmp_path / "db")
    proc = child(WRITER.format(path=path, dim=DIM, n=N, after="""
    c.sync()
    for i in range(50):
        c.add(vs[i], {"late": i}, id=f"late{i:02d}")
    import os, signal
    os.kill(os.getpid(), signal.SIGKILL)
    """))
    proc.wait(timeout=60)
    c = tornquil.Tornquil(path).get_collection("c")
    for i in range(N):
        assert c.get(f"{i:04d}").metadata == {"i": i}
    late = [c.get(f"late{i:02d}") for i in range(50)]
    present = [r for r in late if r is not None]
    assert all(r.metadata == {"late": int(r.id[4:])} for r in present)
    assert len(c) == N + len(present)
