import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_the_demo_runs_over_the_shipped_examples():
    run = subprocess.run([sys.executable, "examples/demo.py"], cwd=ROOT, env=os.environ,
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[lines.index('>>> cfg.find_deep("backup")') + 1] == "'example.org'"
    assert "RuntimeError: Parse Error at line 4: 'this line has no assignment'. Reason: " \
           "Missing assignment operator '='" in lines
    assert lines[-1] == "('1', None)"
