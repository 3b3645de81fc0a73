"""Helpers the Python tests share."""

import os
import signal
import subprocess
import sys
import textwrap
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
        deadline = time.monotonic() + 30
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
