"""How the messages write numbers: the shortest digits that read back to the same double (those of
`repr`), never with an exponent, whatever the magnitude."""

import sys
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _kernels import eikonal_solve, synthesise_pulses
from support import raised
from test_pulses import DT_TEXT as DT
from test_pulses import RANGE, a

INF = float("inf")
LARGEST = sys.float_info.max
LARGEST_TEXT = "17976931348623157" + "0" * 292
TINY_TEXT = "0." + "0" * 323 + "5"

SPACING = " km; spacing must be positive and finite"
CELL = " s/km; every cell must be positive and finite, or the cells behind it are unreachable"

def solve(spacing=(1.0, 1.0), slowness=a(1.0)):
    return lambda: eikonal_solve(slowness.reshape(1, -1), spacing, [(0, 0, 0.0)])


def pulses(slip=a(1.0), rise=a(1.0), dt=0.1, beta=None):
    return lambda: synthesise_pulses(slip, rise, dt, beta)


@pytest.mark.parametrize(
    "call, message",
    [
        (solve(spacing=(-1e23, 1.0)), "the down-dip spacing is -100000000000000000000000" + SPACING),
        (solve(spacing=(1.0, -(2.0**70))), "the along-strike spacing is -1180591620717411300000" + SPACING),
        (solve(spacing=(-1e16, 1.0)), "the down-dip spacing is -10000000000000000" + SPACING),
        (solve(spacing=(-5e-324, 1.0)), "the down-dip spacing is -" + TINY_TEXT + SPACING),
        (solve(slowness=a(1.0, -LARGEST)), "slowness at (0, 1) is -" + LARGEST_TEXT + CELL),
        (solve(slowness=a(-(2.0**60))), "slowness at (0, 0) is -1152921504606847000" + CELL),
        (pulses(dt=-1e23), "a sample interval of -100000000000000000000000" + DT),
        (pulses(dt=-9007199254740994.0), "a sample interval of -9007199254740994" + DT),
        (pulses(beta=a(1e300)), "subfault 0 has beta = 1" + "0" * 300 + RANGE),
        (pulses(beta=a(LARGEST)), "subfault 0 has beta = " + LARGEST_TEXT + RANGE),
        # A slip is named only when it is not finite; a huge one still slips.
        (pulses(slip=a(-INF)), "subfault 0 has a slip of -inf m"),
        (pulses(slip=a(1e300), rise=a(-1e22), beta=a(0.2)),
         "subfault 0 slips, but has a rise time of -10000000000000000000000 s"),
        (pulses(slip=a(LARGEST), rise=a(-LARGEST), beta=a(0.2)),
         "subfault 0 slips, but has a rise time of -" + LARGEST_TEXT + " s"),
    ],
)
def test_messages_write_large_and_tiny_values_in_full(call, message):
    error = raised(call)
    assert type(error) is ValueError and error.args == (message,)


def repr_without_exponent(value):
    """repr's digits, written out in fixed notation with no trailing decimal zeros."""
    text = format(Decimal(repr(value)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text


def message_value(message, before, after):
    assert message.startswith(before) and message.endswith(after)
    return message[len(before) : len(message) - len(after)]


@settings(max_examples=3000, deadline=None, database=None, derandomize=True)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_any_double_is_written_with_repr_digits_and_reads_back(value):
    # A bad sample interval shows any non-positive value, a bad beta any value above 0.5.
    if value > 0.5:
        message = raised(pulses(beta=a(value))).args[0]
        text = message_value(message, "subfault 0 has beta = ", RANGE)
    else:
        value = -abs(value)
        message = raised(pulses(dt=value)).args[0]
        text = message_value(message, "a sample interval of ", DT)
    assert "e" not in text and float(text) == value
    assert text == repr_without_exponent(value)
