"""The README's command-line example prints what the README shows."""

import os
import re
import shlex
import subprocess

from conftest import ROOT


def test_the_readme_check_example(qern):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    [block] = re.findall(r"```console\n\$ (qern .*?)\n(.*?)```", readme, re.S)
    command, shown = block
    env = {**os.environ, "NO_COLOR": "1"}
    done = subprocess.run([str(qern), *shlex.split(command)[1:]], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=60)
    # The report on standard output, then the summary on standard error.
    assert done.stdout + done.stderr == shown
    assert done.returncode == 1
