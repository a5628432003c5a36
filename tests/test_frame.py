"""The call frame, driven through the test-only extension `_frame_fixture`."""

import re
import threading
import time

import pytest

import _frame_fixture as fixture

REPORT = re.compile(
    r"\nthread '<unnamed>' \((\d+)\) panicked at [^\n]+:\d+:\d+:\n(?P<message>[^\n]*)\n"
)
NOTE = "note: run with `KERNELS_BACKTRACE=1` environment variable to display a backtrace\n"


def panic_type():
    try:
        fixture.fail_detached("probe")
    except BaseException as exc:  # noqa: B036 - the type is what is being looked at
        return type(exc)
    raise AssertionError("no failure")


def test_kernel_error_is_an_exact_value_error():
    with pytest.raises(ValueError) as caught:
        fixture.kernel_error("a 0x5 grid has no cells to solve on")
    exc = caught.value
    assert type(exc) is ValueError
    assert str(exc) == "a 0x5 grid has no cells to solve on"
    assert exc.args == ("a 0x5 grid has no cells to solve on",)
    assert exc.__cause__ is None and exc.__context__ is None
    assert not hasattr(exc, "__notes__")


def test_panic_exception_type():
    panic = panic_type()
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    assert panic.__mro__ == (panic, BaseException, object)
    assert panic.__module__ == "pyo3_runtime" and panic.__name__ == "PanicException"
    assert panic.__doc__.startswith("\n")
    assert panic_type() is panic  # one type for every failure
    with pytest.raises(panic) as caught:
        fixture.fail_detached("something broke")
    assert str(caught.value) == "something broke"
    assert caught.value.args == ("something broke",)
    # An ordinary handler does not catch it.
    with pytest.raises(panic):
        try:
            fixture.fail_detached("x")
        except Exception:
            pytest.fail("caught by an Exception handler")


def test_report_and_first_failure_note(python):
    result = python(
        "import _frame_fixture as f\n"
        "for text in ('first', 'second'):\n"
        "    try: f.fail_detached(text)\n"
        "    except BaseException as e: print(type(e).__name__, e)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException first\nPanicException second\n"
    reports = list(REPORT.finditer(result.stderr))
    assert [m["message"] for m in reports] == ["first", "second"]
    assert result.stderr.count(NOTE) == 1
    assert result.stderr.index(NOTE) == reports[0].end()
    assert "frame_fixture.cpp:" in reports[0].group(0)


def test_backtrace_variable_replaces_the_note(python):
    result = python(
        "import _frame_fixture as f\n"
        "try: f.fail_detached('x')\n"
        "except BaseException: pass\n",
        env={"KERNELS_BACKTRACE": "1"},
    )
    assert result.returncode == 0, result.stderr
    assert NOTE not in result.stderr
    assert "stack backtrace:" in result.stderr


def test_failure_in_a_callback_is_resumed_once_reported(python):
    result = python(
        "import _frame_fixture as f\n"
        "try: f.call(lambda: f.fail_detached('deep'))\n"
        "except BaseException as e: print(type(e).__name__, e.args)\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException ('deep',)\n"
    # One report where the failure arose; the fetching frame prints the banner and traceback.
    assert [m["message"] for m in REPORT.finditer(result.stderr)] == ["deep"]
    assert "Python stack trace below:" in result.stderr
    assert "pyo3_runtime.PanicException: deep" in result.stderr


def test_conversion_calling_back_into_the_module():
    class Reentrant:
        def __float__(self):
            # A nested frame on the same thread: it sees its own attach depth.
            depth, held = fixture.frame_state()
            assert held
            return float(depth)

    assert fixture.float_of(Reentrant()) == 2.0
    assert fixture.frame_state() == (1, True)


def test_exception_from_python_code_arrives_unchanged():
    marker = RuntimeError("from __float__")

    class Raising:
        def __float__(self):
            raise marker

    with pytest.raises(RuntimeError) as caught:
        fixture.float_of(Raising())
    assert caught.value is marker
    assert caught.value.__traceback__ is not None


def test_lock_is_held_again_after_every_failure():
    for call in (
        lambda: fixture.fail_detached("x"),
        lambda: fixture.kernel_error("y"),
        lambda: fixture.call(lambda: fixture.fail_detached("z")),
    ):
        try:
            call()
        except BaseException:  # noqa: B036
            pass
        assert fixture.frame_state() == (1, True)


def test_other_threads_run_while_detached():
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        fixture.sleep_detached(0.3)
        during = len(ticks)
        try:
            fixture.fail_detached("while others run")
        except BaseException:  # noqa: B036
            pass
    finally:
        stop.set()
        thread.join()
    assert during > 20


def test_two_threads_detached_at_once_overlap():
    start = time.perf_counter()
    threads = [threading.Thread(target=fixture.sleep_detached, args=(0.4,)) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert time.perf_counter() - start < 0.75


def test_deferred_error_of_a_non_exception_type():
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        fixture.bad_error_type()


def test_registered_functions():
    assert fixture.__all__[:2] == ["kernel_error", "fail_detached"]
    f = fixture.kernel_error
    assert type(f).__name__ == "builtin_function_or_method"
    assert repr(f).startswith("<built-in function kernel_error")
    assert f.__self__ is None
    assert f.__module__ == fixture.__name__
    assert f.__qualname__ == f.__name__
    assert f.__text_signature__ == "(text)"
    assert f.__doc__ == "A kernel error."
