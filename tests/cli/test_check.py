"""`qern check`: the three formats, chains, columns, exit statuses, strict warnings, -C, -j."""

import json
import os
import pathlib
import select
import shutil
import stat
import tempfile

import pytest

from conftest import DATA, matches_golden, pretty_json, run

FORMATS = {"text": "txt", "json": "json", "github": "github.txt"}


def shown(result, fmt):
    return pretty_json(result.stdout) if fmt == "json" else result.stdout


def diagnostics(*args, **kwargs):
    result = run("check", "--format", "json", *args, **kwargs)
    return json.loads(result.stdout)["diagnostics"]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("name", ["five", "families", "wide"])
def test_each_family_of_error_in_each_format(name, fmt):
    # five: parse, unknown-directive, schema, type-directive; families: import,
    # schema-directive, derive, missing-field, io, cycle, unknown-type; wide: columns on
    # lines with CJK text, emoji, tabs and combining marks.
    result = run("check", "--format", fmt, f"{name}.qrn")
    assert result.returncode == 1, result.stderr
    matches_golden(f"{name}.{FORMATS[fmt]}", shown(result, fmt))


def test_five_bad_lines_give_five_diagnostics():
    found = diagnostics("five.qrn")
    assert [(d["line"], d["code"]) for d in found] == [
        (4, "parse"),
        (5, "unknown-directive"),
        (6, "schema"),
        (7, "type-directive"),
        (9, "schema"),
    ]
    assert found[0]["message"] == (
        "Parse Error at line 4: 'retries 3'. Reason: Missing assignment operator '='"
    )
    assert found[2]["message"] == (
        "Schema 'Limits' validation error: field 'workers' (type 'i32') \u2014 "
        "Invalid value: Expected i32, got 'four'"
    )


@pytest.mark.parametrize("fmt", FORMATS)
def test_errors_in_imported_and_derived_files_carry_their_chain(fmt):
    # app.qrn imports common.qrn, which imports limits.qrn; it imports features.qrn and
    # derives from base.qrn; admin.qrn imports features.qrn too.
    result = run("check", "--format", fmt, "app.qrn", "admin.qrn", cwd=DATA / "service")
    assert result.returncode == 1
    matches_golden(f"service.{FORMATS[fmt]}", shown(result, fmt), cwd=DATA / "service")


def test_a_file_imported_by_several_checked_files_is_reported_for_each():
    found = diagnostics("app.qrn", "admin.qrn", cwd=DATA / "service")
    retries = [d for d in found if d["message"].startswith("Parse Error at line 4: 'retries 3'")]
    assert [(d["file"], d["line"], d["chain"]) for d in retries] == [
        ("conf/features.qrn", 4, [{"file": "app.qrn", "line": 3, "kind": "import"}]),
        ("conf/features.qrn", 4, [{"file": "admin.qrn", "line": 2, "kind": "import"}]),
    ]
    deep = next(d for d in found if d["file"] == "conf/limits.qrn")
    assert deep["chain"] == [
        {"file": "app.qrn", "line": 2, "kind": "import"},
        {"file": "conf/common.qrn", "line": 2, "kind": "import"},
    ]
    derived = next(d for d in found if d["file"] == "conf/base.qrn")
    assert derived["chain"] == [{"file": "app.qrn", "line": 4, "kind": "derive"}]


def test_columns_count_characters_on_lines_with_non_ascii_text():
    spans = [
        (d["line"], d["column"], d["end_line"], d["end_column"]) for d in diagnostics("wide.qrn")
    ]
    assert spans == [
        (2, 6, 2, 13),  # 名前 = 日本語テキスト: the value
        (3, 9, 3, 15),  # emoji = 😀🎉 yes
        (4, 11, 4, 14),  # a tab is one character
        (5, 8, 5, 11),  # café = oui
        (6, 1, 6, 10),  # @unknown😀
        (7, 10, 7, 14),  # "é" written as e and a combining accent: two characters
        (8, 9, 11, 2),  # a block: from its argument to the end of its last line
    ]


def test_summary_on_standard_error():
    assert run("check", "five.qrn").stderr == "qern: 5 errors in 1 file (1 file checked)\n"
    both = run("check", "clean.qrn", "five.qrn", "wide.qrn")
    assert both.stderr == "qern: 12 errors in 2 files (3 files checked)\n"
    clean = run("check", "clean.qrn")
    assert (clean.returncode, clean.stdout) == (0, "")
    assert clean.stderr == "qern: 1 file checked, no problems\n"
    as_json = run("check", "--format", "json", "five.qrn", "clean.qrn")
    assert as_json.stderr == ""
    report = json.loads(as_json.stdout)
    assert as_json.stdout.endswith("}\n") and as_json.stdout.count("\n") == 1
    assert (report["version"], report["files_checked"]) == (1, 2)
    assert (report["errors"], report["warnings"]) == (5, 0)


@pytest.mark.parametrize(
    "args, reason",
    [
        ([], "PATH is required"),
        (["--format", "xml", "five.qrn"], "--format: xml not in {text,json,github}"),
        (["-j", "-1", "five.qrn"], "--jobs"),
        (["--colour", "five.qrn"], "--colour"),
        (["-C", "nowhere", "five.qrn"], "cannot change to the directory 'nowhere'"),
    ],
)
def test_wrong_usage_exits_2_with_a_reason_and_a_hint(args, reason):
    result = run("check", *args)
    assert (result.returncode, result.stdout) == (2, "")
    first, hint = result.stderr.splitlines()
    assert first.startswith("qern: ") and reason in first
    assert hint == "Run 'qern check --help' for its usage."


def test_a_directory_without_qrn_files_is_wrong_usage(tmp_path):
    (tmp_path / "empty" / "sub").mkdir(parents=True)
    (tmp_path / "empty" / "notes.txt").write_text("x = 1\n")
    result = run("check", "empty", cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, "")
    assert "no .qrn files below the directory 'empty'" in result.stderr


def test_paths_that_cannot_be_read_are_errors(tmp_path):
    (tmp_path / "bad.qrn").write_bytes(b"name = caf\xe9\n")
    os.mkfifo(tmp_path / "fifo.qrn")
    result = run("check", "missing.qrn", "bad.qrn", "fifo.qrn", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout == (
        "missing.qrn: error: IO Error: No such file or directory (os error 2) [io]\n"
        f"  note: 'missing.qrn' was looked up relative to the working directory {tmp_path}\n"
        "bad.qrn: error: IO Error: stream did not contain valid UTF-8 [io]\n"
        f"  note: 'bad.qrn' was looked up relative to the working directory {tmp_path}\n"
        "fifo.qrn: error: IO Error: not a regular file [io]\n"
        f"  note: 'fifo.qrn' was looked up relative to the working directory {tmp_path}\n"
    )
    missing = diagnostics(tmp_path / "missing.qrn")[0]
    assert missing["line"] is None and missing["column"] is None
    assert missing["path"] == str(tmp_path / "missing.qrn")


def test_unreadable_file_and_directory():
    # Root reads whatever the modes say: run as nobody then.
    prefix = []
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            pytest.skip("running as root without setpriv")
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="qern-modes-"))
    try:
        tmp.chmod(0o755)
        (tmp / "secret.qrn").write_text("a = 1\n")
        (tmp / "secret.qrn").chmod(0)
        (tmp / "closed").mkdir()
        (tmp / "closed" / "a.qrn").write_text("a = 1\n")
        (tmp / "closed").chmod(0)
        result = run("check", "--format", "json", "secret.qrn", "closed", cwd=tmp, prefix=prefix)
        if prefix and result.returncode not in (0, 1):
            pytest.skip(f"cannot run qern as nobody: {result.stderr.strip()}")
    finally:
        (tmp / "closed").chmod(stat.S_IRWXU)
        shutil.rmtree(tmp)
    report = json.loads(result.stdout)
    assert [(d["file"], d["message"]) for d in report["diagnostics"]] == [
        ("secret.qrn", "IO Error: Permission denied (os error 13)"),
        ("closed", "IO Error: Permission denied (os error 13)"),
    ]
    assert report["files_checked"] == 2


def test_strict_warnings():
    result = run("check", "--strict", "strict.qrn")
    assert result.returncode == 1
    assert result.stderr == "qern: 8 warnings in 1 file (1 file checked)\n"
    matches_golden("strict.txt", result.stdout)
    found = diagnostics("--strict", "strict.qrn")
    assert {d["severity"] for d in found} == {"warning"}
    assert [d["code"] for d in found] == [
        "redefined-type",
        "unknown-type",  # float: a name from other languages, with its hint
        "unknown-type",  # physics::warp
        "unchecked-key",
        "field-type-conflict",
        "redefined-schema",
        "duplicate-key",
        "unresolved-alias",  # a type, but not one an alias without '::' can stand for
    ]
    # Where both places are, the earlier one is related.
    assert [(r["line"], r["column"]) for r in found[0]["related"]] == [(1, 7)]
    assert [(r["line"], r["column"]) for r in found[-2]["related"]] == [(9, 1)]
    # Without --strict the file is fine.
    plain = run("check", "strict.qrn")
    assert (plain.returncode, plain.stdout) == (0, "")


def test_names_declared_in_blocks_are_placed_where_they_are_written(tmp_path):
    # A schema declared twice in multi-line blocks: the warning and its note point at the
    # name, not into the "@schema" keyword; so does a type declared in a block.
    (tmp_path / "twice.qrn").write_text(
        "@schema ema {\n  a: i32\n}\n@schema ema {\n  b: i32\n}\n"
        "@type  t = {\n x }\n@type t = i32\n", encoding="utf-8")
    found = diagnostics("--strict", "twice.qrn", cwd=tmp_path)
    schema = next(d for d in found if d["code"] == "redefined-schema")
    assert (schema["line"], schema["column"], schema["end_column"]) == (4, 9, 12)
    assert [(r["line"], r["column"]) for r in schema["related"]] == [(1, 9)]
    alias = next(d for d in found if d["code"] == "redefined-type")
    assert [(r["line"], r["column"]) for r in alias["related"]] == [(7, 8)]


def test_a_value_that_spells_a_limit_is_a_schema_error(tmp_path):
    (tmp_path / "v.qrn").write_text(
        "@schema S { port: i32 }\nport = Value nested deeper than 256 levels\n", encoding="utf-8")
    assert [d["code"] for d in diagnostics("v.qrn", cwd=tmp_path)] == ["schema"]


def test_strict_warnings_in_github_format():
    result = run("check", "--strict", "--format", "github", "strict.qrn")
    lines = result.stdout.splitlines()
    assert len(lines) == 8 and all(line.startswith("::warning file=strict.qrn,") for line in lines)
    assert lines[-2] == (
        "::warning file=strict.qrn,line=10,col=1,endLine=10,endColumn=5,title=duplicate-key::"
        "Key 'name' is assigned again in this file: the later value wins"
        "%0Astrict.qrn:9:1: first assigned here"
    )


def test_directory_option_runs_as_if_started_there():
    inside = run("check", "app.qrn", cwd=DATA / "service")
    outside = run("check", "-C", "service", "app.qrn", cwd=DATA)
    assert (outside.returncode, outside.stdout, outside.stderr) == (
        inside.returncode,
        inside.stdout,
        inside.stderr,
    )
    # Annotations name files from where qern was started, as GitHub reads them.
    github = run("check", "--format", "github", "-C", DATA / "service", "app.qrn", cwd=DATA)
    files = {line.split(",")[0] for line in github.stdout.splitlines()}
    assert files == {
        "::error file=service/conf/limits.qrn",
        "::error file=service/conf/features.qrn",
        "::error file=service/conf/base.qrn",
    }


def make_tree(root, files):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")


def test_directories_are_searched_in_sorted_order(tmp_path):
    make_tree(
        tmp_path,
        {
            "tree/b.qrn": "b\n",
            "tree/a-c.qrn": "a-c\n",
            "tree/a/z.qrn": "z\n",
            "tree/a/b/c.qrn": "c\n",
            "tree/notes.txt": "not checked\n",
            "tree/.qrn": "not checked: no name before .qrn\n",
            "other.qrn": "other\n",
        },
    )
    (tmp_path / "tree" / "link").symlink_to(tmp_path / "tree" / "a")
    result = run("check", "--format", "json", "other.qrn", "tree/", cwd=tmp_path)
    report = json.loads(result.stdout)
    assert report["files_checked"] == 5
    assert [d["file"] for d in report["diagnostics"]] == [
        "other.qrn",
        "tree/a/b/c.qrn",
        "tree/a/z.qrn",
        "tree/a-c.qrn",
        "tree/b.qrn",
    ]
    dot = run("check", "--format", "json", ".", cwd=tmp_path / "tree")
    assert [d["file"] for d in json.loads(dot.stdout)["diagnostics"]] == [
        "a/b/c.qrn",
        "a/z.qrn",
        "a-c.qrn",
        "b.qrn",
    ]


def test_parallel_output_is_the_same_as_serial(tmp_path):
    files = {"shared.qrn": "@schema S { n: i32 }\nbroken line\n"}
    for i in range(40):
        files[f"conf/f{i:02d}.qrn"] = (
            "@import shared.qrn\n" + "ok = 1\n" * i + f"n = {'x' if i % 3 else i}\n"
        )
    make_tree(tmp_path, files)
    for fmt in FORMATS:
        serial = run("check", "--format", fmt, "-j", "1", "conf", cwd=tmp_path)
        assert serial.returncode == 1
        assert "conf/f39.qrn" in serial.stdout
        for jobs in ("2", "5", "0"):
            parallel = run("check", "--format", fmt, "-j", jobs, "conf", cwd=tmp_path)
            assert (parallel.stdout, parallel.stderr) == (serial.stdout, serial.stderr)


def test_long_lines_are_shown_around_the_span(tmp_path):
    (tmp_path / "long.qrn").write_text(
        "@schema S { v: i32 }\nv = " + "x" * 300 + "\nv =" + " " * 250 + "bad" + " " * 10 + "# c\n"
    )
    lines = run("check", "long.qrn", cwd=tmp_path).stdout.splitlines()
    # At most 160 columns of the line, with "..." where it is cut; carets under the span.
    assert lines[1] == "    2 | v = " + "x" * 156 + "..."
    assert lines[2] == "      |     " + "^" * 156
    assert lines[4] == "    3 | ..." + " " * 144 + "bad          # c"
    assert lines[5] == "      | " + " " * (3 + 144) + "^^^"


def test_github_escaping(tmp_path):
    (tmp_path / "odd,name:1%.qrn").write_bytes(b"100% sure, really\nx = 1\nhalf\rline\n")
    result = run("check", "--format", "github", "odd,name:1%.qrn", cwd=tmp_path)
    assert result.stdout.splitlines() == [
        "::error file=odd%2Cname%3A1%25.qrn,line=1,col=1,endLine=1,endColumn=18,title=parse::"
        "Parse Error at line 1: '100%25 sure, really'. Reason: Missing assignment operator '='",
        "::error file=odd%2Cname%3A1%25.qrn,line=3,col=1,endLine=3,endColumn=10,title=parse::"
        "Parse Error at line 3: 'half\\rline'. Reason: Missing assignment operator '='",
    ]


def on_terminal(*args, cwd=DATA, env=None):
    """Runs qern with its standard output on a pseudo-terminal; returns what it wrote."""
    import subprocess

    from conftest import QERN

    leader, follower = os.openpty()
    environment = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "TERM")}
    environment.update(env or {})
    proc = subprocess.Popen(
        [str(QERN), *args], cwd=cwd, env=environment, stdout=follower, stderr=subprocess.PIPE
    )
    os.close(follower)
    chunks = []
    while True:
        ready, _, _ = select.select([leader], [], [], 30)
        if not ready:
            break
        try:
            chunk = os.read(leader, 65536)
        except OSError:  # the terminal's other end closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(leader)
    proc.wait(timeout=30)
    proc.stderr.close()
    return b"".join(chunks).decode("utf-8").replace("\r\n", "\n")


def test_colour_only_on_a_terminal_and_without_no_color(tmp_path):
    red = "\x1b[1;31merror:\x1b[0m"
    assert red in on_terminal("check", "five.qrn")
    assert "\x1b[" not in on_terminal("check", "five.qrn", env={"NO_COLOR": "1"})
    assert "\x1b[" not in on_terminal("check", "--color", "never", "five.qrn")
    assert "\x1b[" not in run("check", "five.qrn").stdout
    assert red in run("check", "--color", "always", "five.qrn").stdout
    assert red in run("check", "--color", "always", "five.qrn", env={"NO_COLOR": "1"}).stdout


def test_a_file_cannot_drive_the_terminal(tmp_path):
    (tmp_path / "esc.qrn").write_text("title \x1b]0;owned\x07 now \x85 \u202e end\n")
    shown = on_terminal("check", "--color", "never", "esc.qrn", cwd=tmp_path)
    piped = run("check", "esc.qrn", cwd=tmp_path).stdout
    # On a terminal or not, the message and the source line show the escapes.
    assert shown == piped
    assert "'title \\x1b]0;owned\\x07 now \\u{85} \\u{202e} end'" in piped
    assert "    1 | title \\x1b]0;owned\\x07 now \\u{85} \\u{202e} end\n" in piped
    for control in "\x1b\x07\x85\u202e":
        assert control not in piped
    # JSON keeps the exact text: its own escaping makes it safe.
    message = diagnostics("esc.qrn", cwd=tmp_path)[0]["message"]
    assert "'title \x1b]0;owned\x07 now \x85 \u202e end'" in message


FORGED_NAME = "a\n::error file=README.md,line=1::forged\n.qrn"


@pytest.mark.parametrize("fmt", ["text", "github"])
def test_no_file_or_line_can_start_a_workflow_command(tmp_path, fmt):
    # GitHub Actions runs any line of a job's output that starts with "::" as a command,
    # and a lone CR starts a line there too.
    (tmp_path / FORGED_NAME).write_text("x\n@import cr.qrn\n")
    (tmp_path / "cr.qrn").write_bytes(b"k\r::warning::forged\n@import 'a\r::error::b.qrn'\n")
    for path in (FORGED_NAME, "cr.qrn"):
        result = run("check", "--format", fmt, path, cwd=tmp_path)
        assert result.returncode == 1
        lines = result.stdout.replace("\r", "\n").split("\n")
        commands = [line for line in lines if line.startswith("::")]
        assert "forged" in result.stdout
        if fmt == "text":
            assert commands == []
        else:
            # Only the annotations themselves, each naming the file it is about.
            assert len(commands) == len(lines) - 1 and lines[-1] == ""
            assert all(c.startswith(("::error file=a\\n%3A%3Aerror", "::error file=cr.qrn,"))
                       for c in commands), commands
    text = run("check", FORGED_NAME, cwd=tmp_path).stdout
    assert text.startswith("a\\n::error file=README.md,line=1::forged\\n.qrn:1:1: error:")
    assert "  note: imported from a\\n::error file=README.md,line=1::forged\\n.qrn:2\n" in text
    assert "'k\\r::warning::forged'" in text and "    1 | k\\r::warning::forged\n" in text
    assert "  note: 'a\\r::error::b.qrn' was looked up relative to" in text
    # The JSON format keeps the names and messages exactly.
    found = diagnostics(FORGED_NAME, cwd=tmp_path)
    assert found[0]["file"] == FORGED_NAME and found[1]["chain"][0]["file"] == FORGED_NAME
    assert found[1]["message"].startswith("Parse Error at line 1: 'k\r::warning::forged'")
    assert found[2]["path"] == "a\r::error::b.qrn"


def test_messages_on_standard_error_are_escaped_too(tmp_path):
    (tmp_path / "a.qrn").write_text("k = 1\n")
    assert run("get", "a.qrn", "x\r::error::y", cwd=tmp_path).stderr == (
        "qern: 'x\\r::error::y' is neither a key nor a value in a.qrn\n")
    assert run("validate", "i32", "\n::error::z").stderr == (
        "Invalid type 'i32': Invalid value: Expected i32, got '\\n::error::z'\n")
    unknown = run("chek\r::error::x", "a.qrn").stderr
    assert unknown.startswith("qern: unknown command 'chek\\r::error::x'")
    (tmp_path / "empty\rdir").mkdir()
    assert run("check", "empty\rdir", cwd=tmp_path).stderr.startswith(
        "qern: no .qrn files below the directory 'empty\\rdir'\n")


def test_lsp_is_routed_with_the_options_editors_pass():
    result = run("lsp", "--stdio", "--clientProcessId=42")
    assert "Run 'qern" not in result.stderr
    assert "--help" not in result.stderr
