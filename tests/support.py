"""Helpers shared by the test modules."""

import os

import pytest


def raised(call):
    """The exception `call()` raises, whatever its type: the type is part of what each case checks."""
    with pytest.raises(BaseException) as caught:  # noqa: B017
        call()
    return caught.value


# The sanitizer stages say which runtime they preloaded. Under AddressSanitizer freed blocks sit in
# its quarantine, so resident size no longer follows what the module holds; its leak check at exit
# stands in for the resident-size tests there.
SANITIZER = os.environ.get("KERNELS_SANITIZER", "")
needs_plain_allocator = pytest.mark.skipif(
    SANITIZER == "asan", reason="resident size is the sanitizer's quarantine, not the module's"
)

# The report an internal failure writes to standard error.
REPORT = r"\nthread '<unnamed>' \((?P<tid>\d+)\) panicked at [^\n]+:\d+:\d+:\n(?P<message>[^\n]*)\n"

