import os
import subprocess
import sys

import qern_native

# Daemon threads parse texts long enough to run without the GIL, each line a derive that
# builds a new document from the shared built-ins, while the main thread exits.
DERIVING_AT_EXIT = """
import threading, time
from qern_native import QERN
text = "\\n".join(["@derive base.qrn"] * 3000)
def loop():
    while True:
        QERN.parse(text)
for _ in range(2):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.3)
"""

RUNS = 16


def test_exit_with_daemon_threads_deriving_does_not_crash_issue_13(tmp_path):
    # Issue 13: the built-ins were destroyed at exit while those threads still read them.
    (tmp_path / "base.qrn").write_text("b = 1\n")
    # The child runs in the scratch directory: it finds the module where this process did.
    module_dir = os.path.dirname(os.path.abspath(qern_native.__file__))
    env = {**os.environ,
           "PYTHONPATH": os.pathsep.join([module_dir, os.environ.get("PYTHONPATH", "")])}
    failures = []
    for _ in range(RUNS):
        run = subprocess.run([sys.executable, "-c", DERIVING_AT_EXIT], cwd=tmp_path, env=env,
                             capture_output=True, text=True, timeout=60)
        if run.returncode != 0:
            failures.append((run.returncode, run.stderr[-1000:]))
    assert failures == []
