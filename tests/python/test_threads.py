import gc
import sys
import threading

import pytest

from conftest import INSTANCE_CALLS, run_in_thread
from qern_native import QERN


def panic_message(caller, owner):
    return (
        "assertion `left == right` failed: qern_native::python::PyQERN is unsendable, but "
        f"sent to another thread\n  left: {caller}\n right: {owner}"
    )


@pytest.mark.parametrize("call", INSTANCE_CALLS.values(), ids=INSTANCE_CALLS.keys())
def test_a_call_from_another_thread_panics(cfg, call):
    owner = threading.get_ident()
    callers = []

    def attempt():
        callers.append(threading.get_ident())
        try:
            call(cfg)
        except Exception as exc:  # must not catch the panic
            return exc.with_traceback(None)
        return None

    caught, error = run_in_thread(attempt)
    assert caught is None
    assert type(error).__name__ == "PanicException"
    assert type(error).__module__ == "native_runtime"
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert error.args == (panic_message(callers[0], owner),)
    assert cfg["host"] == "localhost"  # the owner still uses it


def test_the_panic_class_is_created_once(cfg):
    _, first = run_in_thread(cfg.keys)
    _, second = run_in_thread(len, cfg)
    assert type(first) is type(second)
    assert type(first).__doc__.startswith("Raised when native code called from Python fails")
    assert type(first).__bases__ == (BaseException,)


def test_bad_arguments_are_checked_before_the_thread(cfg):
    _, error = run_in_thread(lambda: cfg.find_obj())
    assert type(error) is TypeError


def test_an_instance_belongs_to_its_creating_thread():
    created, error = run_in_thread(QERN.parse, "a = 1")
    assert error is None
    with pytest.raises(BaseException) as info:
        created.find_obj("a")
    assert type(info.value).__name__ == "PanicException"
    # Dropping it here, off its thread, leaks it on purpose; keep the report out of the log.
    hook, sys.unraisablehook = sys.unraisablehook, lambda args: None
    try:
        del created
    finally:
        sys.unraisablehook = hook


def test_dropping_on_another_thread_reports_and_leaks():
    reports = []
    holder = [QERN.parse("a = 1")]
    gc.collect()  # instances of earlier tests must not be collected in the window
    hook, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        _, error = run_in_thread(holder.clear)
    finally:
        sys.unraisablehook = hook
    assert error is None
    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    assert str(reports[0].exc_value) == (
        "qern_native::python::PyQERN is unsendable, but is being dropped on another thread"
    )

