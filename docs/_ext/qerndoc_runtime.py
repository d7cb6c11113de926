"""What the documentation's examples run with: the doctest setup imports this."""

import os
import shlex
import subprocess

from qern_native import QERN


def run_example(text, path=None, error=None, stores=None, load=True):
    """Runs one QERN example: parses `text`, or writes it to `path` and loads that file.

    Fails (AssertionError) when the outcome differs from the one the page shows: an error
    where none was expected, another error text than `error`, or other pairs than `stores`.
    Returns the document, or None when it failed as expected or was only written.
    """
    if path is not None:
        folder = os.path.dirname(path)
        if folder:
            os.makedirs(folder, exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
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


def run_cli(command, stdout, status=0, stderr=None):
    """Runs one `qern` command line (without its `qern`) in the current directory with the
    command that $QERN_CLI names; fails when its standard output, its exit status or (when
    `stderr` is given) its standard error differs from what the page shows."""
    binary = os.environ.get("QERN_CLI")
    if not binary or not os.access(binary, os.X_OK):
        raise AssertionError(f"QERN_CLI names no qern command ({binary!r}): build the docs "
                             "with docs/build.sh")
    env = dict(os.environ, NO_COLOR="1")
    done = subprocess.run([binary] + shlex.split(command), capture_output=True, env=env,
                          timeout=60)
    out = done.stdout.decode("utf-8")
    err = done.stderr.decode("utf-8", "replace")
    if (out, done.returncode) != (stdout, status) or stderr not in (None, err):
        raise AssertionError(
            f"qern {command}\nprints (exit status {done.returncode})\n{out}"
            f"and writes to standard error\n{err}"
            f"where the page shows (exit status {status})\n{stdout}"
            + ("" if stderr is None else f"and on standard error\n{stderr}"))
