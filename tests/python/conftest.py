"""Shared fixtures of the Python tests.

`testing` is the test-only extension module `_tornquil_testing`, which builds result and
statistics objects that Python itself cannot construct. It is never installed; it is looked
up in, in this order: the directory named by TORNQUIL_TEST_MODULE_DIR, the `testing`
directory beside the imported tornquil (when tornquil comes from a build tree), and
build/release/src/python/testing, the build tree of `make test`.
"""

import importlib
import os
import pathlib
import sys

import pytest

import tornquil

REPO = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture
def path(tmp_path):
    """A database path that does not exist yet."""
    return str(tmp_path / "db")


@pytest.fixture
def db(path):
    return tornquil.Tornquil(path)


def _testing_module_dirs():
    env = os.environ.get("TORNQUIL_TEST_MODULE_DIR")
    if env:
        yield pathlib.Path(env)
    yield pathlib.Path(tornquil.__file__).resolve().parent / "testing"
    yield REPO / "build" / "release" / "src" / "python" / "testing"


@pytest.fixture(scope="session")
def testing():
    for directory in _testing_module_dirs():
        if any(directory.glob("_tornquil_testing*.so")):
            sys.path.insert(0, str(directory))
            try:
                return importlib.import_module("_tornquil_testing")
            finally:
                sys.path.remove(str(directory))
    pytest.fail(
        "_tornquil_testing not found; build it (make test, or bash scripts/setup.sh tests) "
        "or set TORNQUIL_TEST_MODULE_DIR"
    )
