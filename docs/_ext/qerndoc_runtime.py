"""What the documentation's examples run with: the doctest setup imports this, and so does
the replay of a page in a fresh interpreter (qerndoc_reader.py), which must not import the
module for the page: qern_native is imported only where an example is checked."""

import doctest
import os
import re
import shlex
import subprocess
import sys
import traceback
import types


def write_file(path, text):
    """Writes a file an example shows, as the reader saves it (its folders made first)."""
    folder = os.path.dirname(path)
    if folder:
        os.makedirs(folder, exist_ok=True)
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


def run_example(text, path=None, error=None, stores=None, load=True):
    """Runs one QERN example: parses `text`, or writes it to `path` and loads that file.

    Fails (AssertionError) when the outcome differs from the one the page shows: an error
    where none was expected, another error text than `error`, or other pairs than `stores`.
    Returns the document, or None when it failed as expected or was only written.
    """
    from qern_native import QERN

    if path is not None:
        write_file(path, text)
        if not load:
            return None
    try:
        doc = QERN.load(path) if path is not None else QERN.parse(text)
    except RuntimeError as e:
        if error is None:
            raise AssertionError(f"the example fails with: {e}") from None
        if str(e) != error:
            raise AssertionError(f"the example fails with\n    {e}\nand not with\n    {error}"
                                 ) from None
        return None
    if error is not None:
        raise AssertionError(f"the example does not fail; the page says it fails with {error}")
    if stores is not None and doc.to_dict() != stores:
        raise AssertionError(f"the example stores\n    {dict(sorted(doc.to_dict().items()))}"
                             f"\nand not\n    {stores}")
    return doc


# What pytest's summary says that changes from run to run.
_DURATION = re.compile(r" in [0-9.]+s\b")


def run_cli(command, stdout, status=0, stderr=None):
    """Runs one command line in the current directory: `qern ARGS` with the command that
    $QERN_CLI names, or `python3 ARGS` with this interpreter; fails when its standard
    output, its exit status or (when `stderr` is given) its standard error differs from
    what the page shows. The time in pytest's summary is not compared."""
    argv = shlex.split(command)
    if argv[0] == "qern":
        binary = os.environ.get("QERN_CLI")
        if not binary or not os.access(binary, os.X_OK):
            raise AssertionError(f"QERN_CLI names no qern command ({binary!r}): build the "
                                 "docs with docs/build.sh")
    elif argv[0] == "python3":
        binary = sys.executable
    else:
        raise AssertionError(f"no way to run {argv[0]!r}: only qern and python3 are known")
    env = dict(os.environ, NO_COLOR="1", COLUMNS="80")
    done = subprocess.run([binary] + argv[1:], capture_output=True, env=env, timeout=120)
    out = done.stdout.decode("utf-8")
    err = done.stderr.decode("utf-8", "replace")
    if argv[0] == "python3":
        out, stdout = _DURATION.sub(" in Ns", out), _DURATION.sub(" in Ns", stdout)
    if (out, done.returncode) != (stdout, status) or stderr not in (None, err):
        raise AssertionError(
            f"{command}\nprints (exit status {done.returncode})\n{out}"
            f"and writes to standard error\n{err}"
            f"where the page shows (exit status {status})\n{stdout}"
            + ("" if stderr is None else f"and on standard error\n{stderr}"))


def compare_whole_exceptions():
    """Makes doctest compare an exception's message together with its notes.

    doctest takes the last line that traceback.format_exception_only gives as the message
    to compare; for an error with a note (every located error of the module has one) that
    is the note alone. The examples show, and check, both lines as a traceback prints them.
    """
    shim = types.SimpleNamespace(**vars(traceback))
    shim.format_exception_only = lambda *args, **kwargs: [
        "".join(traceback.format_exception_only(*args, **kwargs))]
    doctest.traceback = shim
