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
