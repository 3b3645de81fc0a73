"""Helpers the Python tests share."""

import pytest


def raises(exc_type, call, *args, **kwargs):
    """The arguments of the exception `call` raises, checking its exact type (a subclass
    fails)."""
    with pytest.raises(exc_type) as err:
        call(*args, **kwargs)
    assert type(err.value) is exc_type
    return err.value.args
