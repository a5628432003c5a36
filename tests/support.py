"""Helpers shared by the test modules."""

import pytest


def raised(call):
    """The exception `call()` raises, whatever its type: the type is part of what each case checks."""
    with pytest.raises(BaseException) as caught:  # noqa: B017
        call()
    return caught.value
