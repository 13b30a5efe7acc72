"""Shared test helpers."""

import pytest


def panic_message(fn, *args):
    """Calls fn(*args), which must raise the panic exception; returns its message."""
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)
