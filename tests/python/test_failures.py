"""How a call ends when its body fails, through the test-only module that is
built from the same binding code as driftmoor."""

import signal
import sys
import textwrap

import pytest

import _driftmoor_testing as probe
from conftest import run_python


def panic_class():
    with pytest.raises(BaseException) as caught:
        probe.panic_with_message("x")
    return type(caught.value)


def test_panic_exception_class():
    cls = panic_class()
    assert cls.__name__ == "PanicException"
    assert cls.__module__ == "harrow_runtime"
    assert cls.__bases__ == (BaseException,)
    assert cls.__doc__.startswith("\nThe exception raised when Ostrel code called from Python panics.")
    # Created once: every internal failure raises the same class.
    assert panic_class() is cls


def test_internal_failure_with_a_message(capfd):
    cls = panic_class()
    capfd.readouterr()
    with pytest.raises(cls) as caught:
        probe.panic_with_message("the text of the failure")
    assert caught.value.args == ("the text of the failure",)
    assert str(caught.value) == "the text of the failure"
    assert not isinstance(caught.value, Exception)
    report = capfd.readouterr().err
    assert "\nthread '<unnamed>' (" in report
    assert ") panicked at tests/support/testing_module.cpp:" in report
    assert ":\nthe text of the failure\n" in report


def test_internal_failures_without_a_text():
    cls = panic_class()
    with pytest.raises(cls) as caught:
        probe.panic_without_message()
    assert caught.value.args == ("panic from Ostrel code",)
    # A C++ exception that leaves a body is an internal failure too.
    with pytest.raises(cls) as caught:
        probe.throw_standard_exception()
    assert caught.value.args == ("a standard exception",)


def test_except_exception_does_not_catch_a_panic():
    with pytest.raises(BaseException):
        try:
            probe.panic_with_message("x")
        except Exception:
            pytest.fail("PanicException was caught as an Exception")


def test_failure_value_is_raised_as_made():
    with pytest.raises(FileNotFoundError) as caught:
        probe.fail_with_value("gone")
    assert type(caught.value) is FileNotFoundError
    assert caught.value.args == ("gone",)
    assert caught.value.errno is None and caught.value.filename is None


def test_fetched_exception_keeps_its_identity():
    raised = []

    def fails():
        error = KeyError("inner")
        raised.append(error)
        raise error

    with pytest.raises(KeyError) as caught:
        probe.call(fails)
    assert caught.value is raised[0]
    assert caught.value.__traceback__ is not None
    assert probe.call(lambda: 42) == 42


def test_fetch_with_no_exception_set():
    with pytest.raises(SystemError) as caught:
        probe.fetch_with_nothing_set()
    assert str(caught.value) == "attempted to fetch exception but none was set"


def test_object_that_cannot_be_created(monkeypatch):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with pytest.raises(panic_class()) as caught:
        probe.fail_to_create_object()
    assert str(caught.value) == "PyObject pointer is null"
    # The interpreter's own error is reported as unraisable, not lost.
    assert [u.exc_type for u in unraisable] == [UnicodeDecodeError]


def test_failure_while_raising_a_failure_aborts():
    result = run_python("import _driftmoor_testing as probe; probe.fail_while_raising()")
    assert result.returncode == -signal.SIGABRT
    assert "UnicodeDecodeError" in result.stderr
    assert "\nPyObject pointer is null\n" in result.stderr
    assert "\nuncaught panic at ffi boundary\n" in result.stderr
    # It panicked once in the producer, then the trap fired: two reports.
    assert result.stderr.count("thread '<unnamed>'") == 2


def test_first_use_from_many_threads_creates_one_class():
    # A fresh process, so the class and the interned names are really created
    # here, by whichever thread gets there first.
    code = textwrap.dedent(
        """
        import threading
        import _driftmoor_testing as probe
        import driftmoor

        barrier = threading.Barrier(8)
        classes = []
        def worker():
            barrier.wait()
            try:
                probe.panic_with_message("x")
            except BaseException as e:
                classes.append(type(e))
            try:
                driftmoor.compare_hashes(1, "x")
            except TypeError as e:
                assert e.__notes__ == ["while processing 'hash_a'"]
        threads = [threading.Thread(target=worker) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(classes) == 8 and len(set(classes)) == 1, classes
        print("ok")
        """
    )
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"
