"""Helpers the Python tests share."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest


def raises(exc_type, call, *args, **kwargs):
    """The arguments of the exception `call` raises, checking its exact type (a subclass
    fails)."""
    with pytest.raises(exc_type) as err:
        call(*args, **kwargs)
    assert type(err.value) is exc_type
    return err.value.args


def child(script, *args, stdout=subprocess.PIPE):
    """A Python child that sees the same tornquil as the tests."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), OPENBLAS_NUM_THREADS="1")
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                            env=env, stdout=stdout, stderr=subprocess.PIPE, text=True)


def kill_once_ready(log, delay, script, *args):
    """Runs `script` with its output in the file `log` (a pipe could fill up and stall the
    child before the kill), waits for its "ready" line, lets it work for `delay` seconds and
    kills it with SIGKILL. Returns the child's exit status and its standard error."""
    with open(log, "w") as out:
        proc = child(script, *args, stdout=out)
    try:
        deadline = time.monotonic() + 300  # a guard against a child that never starts
        while not log.read_text().startswith("ready\n") and proc.poll() is None:
            assert time.monotonic() < deadline
            time.sleep(0.005)
        time.sleep(delay)
        proc.send_signal(signal.SIGKILL)
        _, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
    return proc.returncode, err


def run_turns(workers, timeout=300):
    """Runs each worker on a thread of its own, interleaved by a handshake rather than by the
    clock, and waits for them all. `workers` maps a name to (turns, step): `step(i)` is one
    turn of fixed work. A worker with a count of turns waits, before each turn after its first,
    until every other worker still at work has finished a turn since its own last one, so
    each turn meets the others' work however fast the machine is; a worker whose count is
    None repeats its step without waiting until every counted worker is done. A wait longer
    than `timeout` seconds (a guard against a hang, never a speed bound) fails. Raises the
    first failure of any worker; the others stop at their next turn. Returns the turns each
    worker finished."""
    cond = threading.Condition()
    turns = dict.fromkeys(workers, 0)
    seen = {name: dict.fromkeys(workers, 0) for name in workers}  # turns at my last one
    gone, failures = set(), []

    def laggards(name):
        return [o for o in workers if o != name and o not in gone and turns[o] <= seen[name][o]]

    def counted_at_work():
        return any(n not in gone for n, (count, _) in workers.items() if count is not None)

    def run(name):
        count, step = workers[name]
        try:
            i = 0
            while not failures and (i < count if count is not None else counted_at_work()):
                if count is not None and i:
                    with cond:
                        if not cond.wait_for(lambda: failures or not laggards(name), timeout):
                            raise TimeoutError(
                                f"{name} waited {timeout} s for a turn of {laggards(name)}")
                    if failures:
                        break
                step(i)
                i += 1
                with cond:
                    turns[name] += 1
                    seen[name] = dict(turns)
                    cond.notify_all()
        except BaseException as e:  # raised by the caller's thread below
            failures.append((name, e))
        finally:
            with cond:
                gone.add(name)
                cond.notify_all()

    threads = [threading.Thread(target=run, args=(name,)) for name in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        name, e = failures[0]
        raise AssertionError(f"worker {name} failed: {e!r}") from e
    return turns


def buffered(make, rows, attempts=20):
    """The collection `make(attempt)` returns, its write buffer empty, with `rows` of
    (vector, metadata, id) added one after another and all still in the buffer. An add
    flushes a buffer that went non-empty 100 ms before, so the adds must end within 90 ms of
    the first one's start; after a slower run (a busy machine), `make` is called again for a
    new collection."""
    for attempt in range(attempts):
        c = make(attempt)
        start = time.time()  # the wall clock, as the buffer's age is read
        for vector, metadata, rid in rows:
            c.add(vector, metadata, id=rid)
        if time.time() - start < 0.09:
            return c
    pytest.fail(f"{len(rows)} adds never ended within 90 ms in {attempts} attempts")
