import os
import sysconfig
import threading

import pytest

from qern_native import QERN

SAMPLE = """\
host = localhost
port = 8080
ports = [8080, 8081, 8082]
origin = { x = 0, y: 1.5, label = 'home' }
alias = host
"""

SAMPLE_FILE = os.path.join(os.path.dirname(__file__), "data", "sample.qrn")

# Every method and slot of an instance, called the way a user would, successfully.
INSTANCE_CALLS = {
    "merge_content": lambda c: c.merge_content("host = localhost"),
    "merge_file": lambda c: c.merge_file(SAMPLE_FILE),
    "find_obj": lambda c: c.find_obj("host"),
    "find_key": lambda c: c.find_key("localhost"),
    "find_deep": lambda c: c.find_deep("alias"),
    "find_list": lambda c: c.find_list("ports"),
    "find_object": lambda c: c.find_object("origin"),
    "keys": lambda c: c.keys(),
    "to_dict": lambda c: c.to_dict(),
    "validate_value": lambda c: c.validate_value("list<i32>", "[1, 2, 3]"),
    "to_typed_dict": lambda c: c.to_typed_dict(),
    "freeze": lambda c: c.freeze(),
    "repr": repr,
    "len": len,
    "contains": lambda c: "host" in c,
    "subscript": lambda c: c["host"],
}

# The interpreter is not built with AddressSanitizer in the sanitized run; memory figures
# there measure the sanitizer, not the module.
SANITIZED = bool(os.environ.get("QERN_SANITIZED"))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

THREAD_TIMEOUT = 30


@pytest.fixture
def cfg():
    return QERN.parse(SAMPLE)


def run_in_thread(fn, *args):
    """Runs fn on a new thread; returns (result, BaseException or None). A hang fails."""
    outcome = {}

    def target():
        try:
            outcome["result"] = fn(*args)
        except BaseException as exc:  # the point is to see BaseException-only errors too
            # Without its traceback the error holds no frame, so no cycle keeps an instance
            # alive until a collection that might run on another thread.
            outcome["error"] = exc.with_traceback(None)

    thread = threading.Thread(target=target)
    thread.start()
    thread.join(THREAD_TIMEOUT)
    assert not thread.is_alive(), "thread did not finish"
    return outcome.get("result"), outcome.get("error")
