"""Runs the built `qern` executable: QERN_BIN names it (default: build/bin/qern).

Golden files hold the expected standard output; QERN_UPDATE_GOLDEN=1 rewrites them from
what the binary prints (review the diff before committing it).
"""

import json
import os
import pathlib
import subprocess

import pytest

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
DATA = HERE / "data"
GOLDEN = HERE / "golden"
QERN = pathlib.Path(os.environ.get("QERN_BIN", ROOT / "build" / "bin" / "qern"))


def pytest_sessionstart(session):
    if not os.access(QERN, os.X_OK):
        raise pytest.UsageError(f"no qern executable at {QERN}: build it, or set QERN_BIN")


def run(*args, cwd=DATA, env=None, stdin=subprocess.DEVNULL, prefix=(), **kwargs):
    """`qern ARGS` in `cwd`, without colour unless `env` asks for it; `prefix` is a command
    that runs it (such as setpriv)."""
    environment = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "TERM")}
    environment.update(env or {})
    return subprocess.run(
        [*prefix, str(QERN), *map(str, args)],
        cwd=cwd,
        env=environment,
        stdin=stdin,
        capture_output=True,
        encoding="utf-8",
        errors="surrogateescape",
        timeout=120,
        **kwargs,
    )


def matches_golden(name, actual, cwd=DATA):
    """Compares `actual` with golden/NAME (the working directory written as <cwd>)."""
    actual = actual.replace(str(cwd), "<cwd>")
    path = GOLDEN / name
    if os.environ.get("QERN_UPDATE_GOLDEN") == "1":
        path.write_text(actual, encoding="utf-8")
    expected = path.read_text(encoding="utf-8")
    if name.endswith(".json"):
        assert json.loads(actual) == json.loads(expected)
    else:
        assert actual == expected


def pretty_json(text):
    """The json format's one line, indented, as golden files keep it."""
    return json.dumps(json.loads(text), indent=2, ensure_ascii=False) + "\n"
