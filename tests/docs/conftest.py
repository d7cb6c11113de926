"""Checks that what the documentation states holds: facts taken from the build files,
and the editor recipes run in the editor. QERN_BIN names the qern command (default:
build/bin/qern)."""

import os
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
QERN = pathlib.Path(os.environ.get("QERN_BIN", ROOT / "build" / "bin" / "qern"))


@pytest.fixture
def qern():
    if not os.access(QERN, os.X_OK):
        pytest.fail(f"no qern executable at {QERN}: build it, or set QERN_BIN")
    return QERN


def code_block(page, caption):
    """The text of the code block of docs/PAGE whose :caption: is CAPTION, as shown."""
    lines = (DOCS / page).read_text(encoding="utf-8").splitlines()
    for i, line in enumerate(lines):
        if not re.match(r"\.\. code-block::", line):
            continue
        j = i + 1
        options = {}
        while j < len(lines) and re.match(r"   :[\w-]+:", lines[j]):
            name, _, value = lines[j].strip()[1:].partition(":")
            options[name] = value.strip()
            j += 1
        if options.get("caption") != caption:
            continue
        body = []
        for line in lines[j + 1:]:
            if line and not line.startswith("   "):
                break
            body.append(line[3:])
        return "\n".join(body).strip("\n") + "\n"
    raise AssertionError(f"no code block captioned {caption!r} in docs/{page}")
