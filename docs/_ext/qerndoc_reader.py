"""Replays a page of the documentation as its reader does: in an empty directory, each file
the page shows saved under its name, each Python session and program typed into one
interpreter, in the order of the page, and each command line run in a shell.

    python3 qerndoc_reader.py STEPS.json     (in an empty working directory)

STEPS.json, written by the qerndoc extension, is a list of steps: {"kind": "file", "path",
"text"}, {"kind": "doctest", "text", "options"}, {"kind": "code", "text", "output"} or
{"kind": "cli", "command", "stdout", "status", "stderr"}, each with its "line". The
Python steps share one namespace, which starts empty, as an interactive session does; no
step of the page's own runs unseen. Prints the first failure and exits with status 1.
"""

import builtins
import contextlib
import doctest
import io
import json
import sys

from qerndoc_runtime import compare_whole_exceptions, run_cli, write_file

# As in an interpreter started in the working directory: modules saved there import.
sys.path[0] = ""


def replay(steps, source):
    compare_whole_exceptions()
    namespace = {"__name__": "__main__", "__builtins__": builtins}
    checker = doctest.OutputChecker()
    for step in steps:
        where = f"{source}:{step['line']}"
        kind = step["kind"]
        if kind == "file":
            write_file(step["path"], step["text"])
        elif kind == "doctest":
            flags = doctest.DONT_ACCEPT_TRUE_FOR_1
            for flag, on in step["options"].items():
                flags = flags | int(flag) if on else flags & ~int(flag)
            test = doctest.DocTestParser().get_doctest(step["text"], {}, where, source,
                                                       step["line"])
            test.globs = namespace  # the session goes on: nothing is copied or cleared
            report = io.StringIO()
            runner = doctest.DocTestRunner(optionflags=flags)
            if runner.run(test, out=report.write, clear_globs=False).failed:
                return f"{where}: the session differs from the page:\n{report.getvalue()}"
        elif kind == "code":
            printed = io.StringIO()
            try:
                with contextlib.redirect_stdout(printed):
                    exec(compile(step["text"], where, "exec"), namespace)
            except Exception as e:  # noqa: BLE001 - reported as the page's failure
                return f"{where}: the code fails: {type(e).__name__}: {e}"
            want = step["output"]
            if want is not None and not checker.check_output(
                    want.rstrip("\n") + "\n", printed.getvalue(), doctest.DONT_ACCEPT_TRUE_FOR_1):
                return f"{where}: the code prints\n{printed.getvalue()}and not\n{want}"
        elif kind == "cli":
            try:
                run_cli(step["command"], step["stdout"], step["status"], step["stderr"])
            except AssertionError as e:
                return f"{where}: {e}"
        else:
            return f"{where}: unknown step {kind!r}"
    return None


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as f:
        page = json.load(f)
    failure = replay(page["steps"], page["source"])
    if failure:
        print(failure)
        sys.exit(1)
