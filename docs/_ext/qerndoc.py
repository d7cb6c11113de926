"""Sphinx support for the qern_native documentation.

- ``.. qern:: [PATH]``: a QERN example that runs under ``sphinx-build -b doctest``. Without
  PATH the text is parsed with ``QERN.parse``; with PATH it is written to that file (in the
  doctest's temporary working directory) and loaded with ``QERN.load``. ``:error:`` gives
  the exact message it must fail with, ``:stores:`` a dict the document must hold (shown
  under the example), ``:as: NAME`` binds the document for the Python examples after it,
  ``:write-only:`` writes the file without loading it, ``:group:`` picks the doctest
  group (the files of one group share a directory), and ``:unformatted:`` marks a sample
  that is not laid out as ``qern fmt`` lays it out (every other one is: a test keeps them
  so).
- ``.. qern-cli::``: a command line (``$ qern ARGS`` or ``$ python3 ARGS``, the first line)
  and the standard output it must print (the other lines), run under ``-b doctest`` in the
  doctest's working directory (files written there by ``.. qern:: PATH`` examples of the
  same ``:group:``) with the command that the environment variable ``QERN_CLI`` names, or
  the interpreter that runs the doctests. ``:status: N`` is the exit status it must end
  with (default 0), ``:stderr: LINE`` the one line it must write to standard error (shown
  after the output; unchecked without it).
- ``.. qern-file:: PATH``: a file of another language (Python, by its name) that the
  reader saves: shown under its name, written under ``-b doctest``.
- The pages that ``qern_reader_pages`` names are also replayed as their reader does, in
  a fresh interpreter in an empty directory: every file saved, every Python session and
  program run in one namespace, every command line run, in the order of the page
  (qerndoc_reader.py). Nothing may run unseen there: a hidden test block, or a ``.. qern::``
  example that binds a name with ``:as:``, is an error.
- ``.. messages::``: the message templates of one error code, one a line, as the error
  catalogue lists them (tests/python/test_error_catalogue.py reads them).
- ``.. qern-unit-table::``: the physics units, from the table the C++ program
  ``qern_unit_table`` prints (``qern_unit_table`` config value: its output file).
- ``.. qern-bench-table::``: the comparison table, from bench/results/*.json.
- A lexer for QERN, and a check that every Python and QERN example either runs as a
  doctest or is marked ``:class: pending`` (an example of a tool that is not built yet).
"""

import ast
import json
import os
import subprocess
import sys
import tempfile

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from pygments.lexer import RegexLexer, bygroups, include
from pygments.token import (Comment, Keyword, Name, Number, Operator, Punctuation, String,
                            Text, Whitespace)
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

from qerndoc_runtime import compare_whole_exceptions

logger = logging.getLogger(__name__)

RUNNABLE_LANGUAGES = {"python", "python3", "py", "pycon", "qern"}


class QernLexer(RegexLexer):
    """QERN: lines of `key = value`, `#` comments standing alone, and four directives."""

    name = "QERN"
    aliases = ["qern"]
    filenames = ["*.qrn"]

    _comment = r"#(?=[ \t]|$)[^\n]*"
    tokens = {
        "root": [
            (r"\n", Whitespace),
            (r"[ \t]+", Whitespace),
            (_comment, Comment.Single),
            (r"(@)(import|derive)\b", bygroups(Keyword, Keyword), "path"),
            (r"(@)(type)\b", bygroups(Keyword, Keyword), "typedecl"),
            (r"(@)(schema)\b", bygroups(Keyword, Keyword), "schema"),
            (r"@[^\s]*", Keyword),
            (r"(\[[^\]\n]*\][^=\n]*?|[^=\n]+?)([ \t]*)(=)",
             bygroups(Name.Attribute, Whitespace, Operator), "value"),
            (r"[^\n]+", Text),
        ],
        "tail": [
            (r"\n", Whitespace, "#pop"),
            (r"[ \t]+", Whitespace),
            (r"(?<=[ \t])" + _comment, Comment.Single),
        ],
        "path": [
            include("tail"),
            (r"::", Punctuation),
            (r"\"[^\"\n]*\"|'[^'\n]*'", String),
            (r"[^\s:#]+", String),
            (r".", Text),
        ],
        "typedecl": [
            include("tail"),
            (r"([^=\n]+?)([ \t]*)(=)", bygroups(Name.Class, Whitespace, Operator)),
            (r"[^\s#]+", Keyword.Type),
            (r".", Text),
        ],
        "schema": [
            include("tail"),
            (r"\{", Punctuation, ("#pop", "schemabody")),
            (r"[^\s{#]+", Name.Class),
            (r".", Text),
        ],
        "schemabody": [
            (r"\}", Punctuation, "#pop"),
            (r"\s+", Whitespace),
            (r"#(?=\s)[^\n]*", Comment.Single),
            (r"\{", Punctuation),
            (r",", Punctuation),
            (r"([^\s:{},#]+)(:)", bygroups(Name.Attribute, Punctuation)),
            (r"[^\s:{},#]+", Keyword.Type),
            (r".", Text),
        ],
        "value": [
            include("tail"),
            (r"\"[^\"\n]*\"|'[^'\n]*'", String),
            # A quote that is never closed runs to the end of the line: no comment in it.
            (r"[\"'][^\n]*", String),
            (r"[\[\]{},]", Punctuation),
            (r"[=:]", Operator),
            (r"#[0-9A-Fa-f]{6}(?:[0-9A-Fa-f]{2})?(?![\w])", Number.Hex),
            (r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?(?=[\s,\]}]|$)", Number),
            (r"(?:true|false)(?=[\s,\]}]|$)", Keyword.Constant),
            (r"[^\s\[\]{},\"'=:#]+", String),
            (r".", Text),
        ],
    }


def _dict_option(text):
    try:
        value = ast.literal_eval(text)
    except (ValueError, SyntaxError) as e:
        raise ValueError(f"not a Python dict literal: {e}")
    if not isinstance(value, dict):
        raise ValueError("not a Python dict literal")
    return value


def _test_node(code, group, test_code):
    """A literal block that the doctest builder runs as `test_code` and shows as `code`."""
    node = nodes.literal_block(code, code, testnodetype="testcode", groups=[group])
    node["test"] = test_code
    return node


class QernExample(SphinxDirective):
    has_content = True
    optional_arguments = 1
    option_spec = {
        "error": directives.unchanged_required,
        "stores": _dict_option,
        "as": directives.unchanged_required,
        "group": directives.unchanged_required,
        "write-only": directives.flag,
        "caption": directives.unchanged_required,
        # A sample that shows what `qern fmt` changes, and so is not formatted itself.
        "unformatted": directives.flag,
    }

    def run(self):
        text = "\n".join(self.content) + "\n"
        path = self.arguments[0] if self.arguments else None
        group = self.options.get("group", "default")
        if "write-only" in self.options and (
                path is None or {"error", "stores", "as"} & self.options.keys()):
            raise self.error("qern: :write-only: needs a path and takes no checks")
        call = (f"_qern_example({text!r}, path={path!r}, error={self.options.get('error')!r}, "
                f"stores={self.options.get('stores')!r}, "
                f"load={'write-only' not in self.options!r})")
        if "as" in self.options:
            name = self.options["as"]
            if not name.isidentifier():
                raise self.error(f"qern: :as: needs a Python name, not {name!r}")
            call = f"{name} = {call}"
        block = _test_node(text.rstrip("\n"), group, call)
        block["language"] = "qern"
        # What its reader does with it: saves it, or only looks at it. A name bound with
        # :as: would be a step the reader never sees.
        if "as" in self.options:
            block["qern_step"] = {"kind": "hidden", "what": f":as: {self.options['as']}"}
        elif path is not None:
            block["qern_step"] = {"kind": "file", "path": path, "text": text}
        else:
            block["qern_step"] = {"kind": "look"}
        self.set_source_info(block)
        caption = self.options.get("caption", path)
        if caption:
            container = nodes.container(classes=["literal-block-wrapper"], literal_block=True)
            container += nodes.caption(caption, "", nodes.Text(caption))
            container += block
            result = [container]
        else:
            result = [block]
        if "error" in self.options:
            result.append(self._outcome("Fails with", self.options["error"], "qern-error"))
        if "stores" in self.options:
            result.append(self._stores(self.options["stores"]))
        return result

    def _outcome(self, label, message, cls):
        box = nodes.container(classes=["qern-outcome", cls])
        para = nodes.paragraph()
        para += nodes.strong(label, label)
        box += para
        out = nodes.literal_block(message, message, classes=["qern-output"])
        out["language"] = "none"
        box += out
        return box

    def _stores(self, pairs):
        box = nodes.container(classes=["qern-outcome", "qern-stores"])
        para = nodes.paragraph()
        para += nodes.strong("Stores", "Stores")
        box += para
        if not pairs:
            para += nodes.Text(" nothing")
            return box
        table = nodes.table(classes=["qern-stores-table"])
        tgroup = nodes.tgroup(cols=2)
        table += tgroup
        tgroup += nodes.colspec(colwidth=1)
        tgroup += nodes.colspec(colwidth=2)
        thead = nodes.thead()
        tgroup += thead
        head = nodes.row()
        for title in ("key", "value"):
            head += nodes.entry("", nodes.paragraph(title, title))
        thead += head
        tbody = nodes.tbody()
        tgroup += tbody
        for key, value in pairs.items():
            row = nodes.row()
            for cell in (key, value):
                shown = cell if cell and cell == cell.strip() and "\n" not in cell else repr(cell)
                row += nodes.entry("", nodes.paragraph("", "", nodes.literal(shown, shown)))
            tbody += row
        box += table
        return box


class QernCli(SphinxDirective):
    has_content = True
    option_spec = {
        "status": directives.nonnegative_int,
        "stderr": directives.unchanged_required,
        "group": directives.unchanged_required,
    }

    def run(self):
        lines = list(self.content)
        if not lines or not lines[0].startswith(("$ qern ", "$ python3 ")):
            raise self.error("qern-cli: the first line must be '$ qern ARGS' or '$ python3 ARGS'")
        command = lines[0][len("$ "):]
        stdout = "".join(line + "\n" for line in lines[1:])
        status = self.options.get("status", 0)
        stderr = self.options.get("stderr")
        shown = "\n".join(lines + ([stderr] if stderr else []))
        if status:
            shown += f"\n$ echo $?\n{status}"
        stderr = None if stderr is None else stderr + "\n"
        call = f"_qern_cli({command!r}, {stdout!r}, {status!r}, {stderr!r})"
        block = _test_node(shown, self.options.get("group", "default"), call)
        block["language"] = "console"
        block["qern_step"] = {"kind": "cli", "command": command, "stdout": stdout,
                              "status": status, "stderr": stderr}
        self.set_source_info(block)
        return [block]


class QernFile(SphinxDirective):
    """A file of another language that the reader saves, shown under its name."""

    has_content = True
    required_arguments = 1
    option_spec = {"group": directives.unchanged_required}
    languages = {".py": "python"}

    def run(self):
        path = self.arguments[0]
        language = self.languages.get(os.path.splitext(path)[1])
        if language is None:
            raise self.error(f"qern-file: no language for {path!r}")
        text = "\n".join(self.content) + "\n"
        block = _test_node(text.rstrip("\n"), self.options.get("group", "default"),
                           f"_qern_write({path!r}, {text!r})")
        block["language"] = language
        block["qern_step"] = {"kind": "file", "path": path, "text": text}
        self.set_source_info(block)
        container = nodes.container(classes=["literal-block-wrapper"], literal_block=True)
        container += nodes.caption(path, "", nodes.Text(path))
        container += block
        return [container]


class Messages(SphinxDirective):
    """The message templates of one error code, one a line."""

    has_content = True

    def run(self):
        if not self.content:
            raise self.error("messages: no templates")
        items = nodes.bullet_list(classes=["qern-messages"])
        for line in self.content:
            if not line.strip():
                continue
            item = nodes.list_item()
            item += nodes.paragraph("", "", nodes.literal(line, line))
            items += item
        return [items]


def _list_table(header, rows, widths):
    lines = [".. list-table::", "   :header-rows: 1", f"   :widths: {' '.join(map(str, widths))}",
             "   :class: qern-table", ""]
    for row in [header] + rows:
        for i, cell in enumerate(row):
            lines.append(("   * - " if i == 0 else "     - ") + (cell if cell else ""))
    return lines


class UnitTable(SphinxDirective):
    """Every physics:: unit, read from the output of the qern_unit_table program."""

    def run(self):
        path = self.config.qern_unit_table
        if not path or not os.path.isfile(path):
            raise self.error(f"qern-unit-table: no unit table at {path!r}; build it with "
                             "./dev docs (the qern_unit_table program writes it)")
        self.env.note_dependency(path)
        rows = []
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                fields = line.rstrip("\n").split("\t")
                if len(fields) != 4 or not all(fields):
                    raise self.error(f"qern-unit-table: {path}:{number}: malformed row {line!r}")
                name, quantity, dimension, values = fields
                rows.append([f"``physics::{name}``", quantity, dimension,
                             "integer" if values == "integer" else "number"])
        if len(rows) != 130:
            raise self.error(f"qern-unit-table: {len(rows)} units in {path}, expected 130")
        content = _list_table(["Type", "Quantity", "Dimension", "Values"], rows, [34, 34, 20, 12])
        container = nodes.container()
        self.state.nested_parse(StringList(content, source=path), self.content_offset, container)
        return container.children


class BenchTable(SphinxDirective):
    """A table of bench/results/*.json (one file per interpreter): ``:what: loading`` (the
    comparison with json, tomllib and configparser), ``lookups`` (ns per call) or
    ``targets`` (the ratios the benchmarks hold themselves to, from the first file)."""

    required_arguments = 1
    optional_arguments = 4
    option_spec = {"what": lambda a: directives.choice(a, ("loading", "lookups", "targets"))}

    def run(self):
        results = []
        for arg in self.arguments:
            path = os.path.normpath(os.path.join(self.env.srcdir, arg))
            if not os.path.isfile(path):
                raise self.error(f"qern-bench-table: no results at {path}")
            self.env.note_dependency(path)
            with open(path, encoding="utf-8") as f:
                results.append(json.load(f))
        versions = [_version(r["python"]) for r in results]
        what = self.options.get("what", "loading")
        if what == "loading":
            header, rows, widths = _loading(results, versions)
        elif what == "lookups":
            header, rows, widths = _lookups(results, versions)
        else:
            header, rows, widths = _targets(results, versions)
        content = _list_table(header, rows, widths)
        container = nodes.container()
        self.state.nested_parse(StringList(content, source=self.arguments[0]),
                                self.content_offset, container)
        return container.children


def _version(python):
    """"3.14.0" from sys.version, with a "t" for a free-threaded build."""
    return python.split()[0] + ("t" if "free-threading" in python else "")


def _targets(results, versions):
    """One row per target, one column per interpreter: the ratio, and whether it is met. The
    limit says its sense: "≤ 1.0" at most, "≥ 1.8" at least.
    The two-thread throughput shows the pure C++ parse's ratio of the same run beside it, and
    two threads reading one snapshot that of two threads each reading a dict of its own.
    A target measured on some interpreters only (reads from threads, on a free-threaded
    build) has its row after the target it follows there, and no figure elsewhere."""
    order = []  # target names, each after the one it follows in the first file that has it
    for r in results:
        previous = None
        for t in r["targets"]:
            if t["target"] not in order:
                order.insert(order.index(previous) + 1 if previous is not None else len(order),
                             t["target"])
            previous = t["target"]
    by_name = [{t["target"]: t for t in r["targets"]} for r in results]
    header = ["target", "limit"] + versions
    rows = []
    for name in order:
        limit = next(b[name]["limit"] for b in by_name if name in b)
        at_least = next((sense for b in by_name if name in b
                         for sense in [_at_least(b[name])] if sense is not None), False)
        row = [name, "" if limit is None else f"{'≥' if at_least else '≤'} {limit}"]
        for b in by_name:
            t = b.get(name)
            if t is None:
                row.append("")
                continue
            cell = f"{t['ratio']:.2f}"
            if t.get("cxx") is not None:
                cell += f" (C++ {t['cxx']:.2f})"
            if t.get("own_dicts") is not None:
                cell += f" (own dicts {t['own_dicts']:.2f})"
            if t["met"] is not None:
                cell += ", met" if t["met"] else ", not met"
            row.append(cell)
        rows.append(row)
    return header, rows, [44, 10] + [18] * len(results)


def _at_least(t):
    """Whether a target's limit is a floor (at least) rather than a ceiling (at most), or
    None when its result cannot tell. Results written before targets carried their sense
    tell it by whether a ratio that differs from the limit met it."""
    if t.get("at_least") is not None:
        return t["at_least"]
    if t["limit"] is None or t["met"] is None or t["ratio"] == t["limit"]:
        return None
    return (t["ratio"] > t["limit"]) == t["met"]


def _pairs(n):
    return f"{n:,}".replace(",", "\u202f")  # a narrow no-break space: one line per number


def _loading(results, versions):
    keyed = [{(row["pairs"], row["contender"]): row for row in r["rows"]} for r in results]
    header = ["pairs", "contender"]
    for v in versions:
        header += [f"{v} median ms", "× json"]
    header.append(f"memory MB ({versions[0]})")
    rows = []
    for key, first in keyed[0].items():
        row = [_pairs(key[0]), key[1]]
        for table in keyed:
            other = table.get(key)
            row += [_ms(other["ms"]), f"{other['vs_json']:.2f}"] if other else ["", ""]
        row.append("" if first["memory_mb"] is None else f"{first['memory_mb']:.1f}")
        rows.append(row)
    return header, rows, [9, 19] + [10, 7] * len(results) + [10]


def _lookups(results, versions):
    names = [k for k in results[0]["lookups"][0] if k != "pairs"]
    header = ["keys", "call"] + [f"{v} ns per call" for v in versions] + ["× dict.get"]
    rows = []
    for i, first in enumerate(results[0]["lookups"]):
        for name in names:
            row = [_pairs(first["pairs"]), name]
            row += [f"{r['lookups'][i][name]:.0f}" for r in results]
            row.append(f"{first[name] / first['dict.get']:.2f}")
            rows.append(row)
    return header, rows, [12, 24] + [16] * len(results) + [12]


def _ms(ms):
    if ms >= 100:
        return f"{ms:,.0f}".replace(",", "\u202f")
    if ms >= 10:
        return f"{ms:.1f}"
    return f"{ms:.2f}"


def check_examples(app, doctree):
    """Every Python or QERN example runs, unless it is marked pending."""
    for node in doctree.findall(nodes.literal_block):
        language = node.get("language", "")
        if language not in RUNNABLE_LANGUAGES:
            continue
        if "testnodetype" in node or "pending" in node.get("classes", []):
            continue
        logger.warning(f"a {language} example that does not run: make it a doctest, a "
                       f"testcode or a qern block, or mark it ':class: pending'",
                       location=node)
    for node in doctree.findall(nodes.doctest_block):
        logger.warning("write Python sessions as '.. doctest::' blocks", location=node)


def reader_steps(doctree):
    """The steps of a page as its reader takes them, in order; a step the reader cannot see
    is an error (a message with its line)."""
    steps, errors = [], []
    for node in doctree.findall(lambda n: isinstance(n, nodes.Element) and "testnodetype" in n):
        line = node.line or 0
        step = node.get("qern_step")
        kind = node["testnodetype"]
        if step is not None and step["kind"] == "hidden":
            errors.append((line, f"a binding the reader does not see ({step['what']})"))
        elif step is not None:
            if step["kind"] != "look":
                steps.append(dict(step, line=line))
        elif isinstance(node, nodes.comment):
            errors.append((line, f"a hidden {kind} block: show the reader every step"))
        elif kind == "doctest":
            steps.append({"kind": "doctest", "text": node.get("test", node.astext()),
                          "options": node.get("options", {}), "line": line})
        elif kind == "testcode":
            steps.append({"kind": "code", "text": node.astext(), "output": None, "line": line})
        elif kind == "testoutput" and steps and steps[-1].get("output", 0) is None:
            steps[-1]["output"] = node.astext()
        else:
            errors.append((line, f"a {kind} block the reader cannot run"))
    return steps, errors


def replay_for_reader(app, doctree):
    """Under -b doctest, replays a page that qern_reader_pages names in a fresh interpreter,
    in an empty directory (qerndoc_reader.py); a failure is a warning on the page."""
    docname = app.env.docname
    if app.builder.name != "doctest" or docname not in app.config.qern_reader_pages:
        return
    source = app.env.doc2path(docname, False)
    steps, errors = reader_steps(doctree)
    for line, message in errors:
        logger.warning(f"qern reader: {message}", location=(docname, line))
    if errors:
        return
    reader = os.path.join(os.path.dirname(os.path.abspath(__file__)), "qerndoc_reader.py")
    with tempfile.TemporaryDirectory(prefix="qern-reader-") as scratch:
        page = os.path.join(scratch, "steps.json")
        with open(page, "w", encoding="utf-8") as f:
            json.dump({"source": source, "steps": steps}, f)
        home = os.path.join(scratch, "home")
        os.mkdir(home)
        done = subprocess.run([sys.executable, reader, page], cwd=home, capture_output=True,
                              text=True, timeout=600)
    if done.returncode != 0:
        logger.warning(f"qern reader: replayed in a fresh interpreter, the page fails:\n"
                       f"{done.stdout}{done.stderr[-3000:]}", location=docname)
    else:
        logger.info(f"qern reader: {docname}: {len(steps)} steps replayed in a fresh interpreter")


def setup(app):
    compare_whole_exceptions()
    app.add_lexer("qern", QernLexer)
    app.add_directive("qern", QernExample)
    app.add_directive("qern-cli", QernCli)
    app.add_directive("qern-file", QernFile)
    app.add_directive("messages", Messages)
    app.add_directive("qern-unit-table", UnitTable)
    app.add_directive("qern-bench-table", BenchTable)
    app.add_config_value("qern_unit_table", "", "env")
    app.add_config_value("qern_reader_pages", [], "env")
    app.connect("doctree-read", check_examples)
    app.connect("doctree-read", replay_for_reader)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}

