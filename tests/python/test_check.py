"""qern_native.check(): the checks of `qern check` from Python, and the code of each error."""

import os
import pathlib
import threading

import pytest

import qern_native
from conftest import THREAD_TIMEOUT
from qern_native import QERN

PLANTED = pathlib.Path(__file__).resolve().parents[1] / "cli" / "data" / "planted"


def write(directory, files):
    for name, text in files.items():
        path = directory / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")


def error_of(call):
    with pytest.raises(RuntimeError) as info:
        call()
    return info.value


@pytest.mark.parametrize("call, code", [
    (lambda: QERN.parse("port = 8080\nretries 3"), "parse"),
    (lambda: QERN.parse("@imprt x.qrn"), "unknown-directive"),
    (lambda: QERN.parse("@schema S { a: i32 }\na = x"), "schema"),
    (lambda: QERN.load("/nonexistent/app.qrn"), "io"),
    (lambda: QERN().validate_value("i32", "x"), "invalid-value"),
    (lambda: QERN().validate_value("int", "1"), "unknown-type"),
])
def test_a_runtime_error_carries_the_code_qern_check_prints(call, code):
    assert error_of(call).code == code


def test_a_clean_file_gives_no_diagnostics(tmp_path):
    write(tmp_path, {"app.qrn": "@schema S { port: i32 }\nport = 8080\n"})
    assert qern_native.check([tmp_path / "app.qrn"]) == []
    assert qern_native.check([str(tmp_path)], strict=True) == []


def test_a_diagnostic_holds_the_place_code_message_chain_and_hints(tmp_path, monkeypatch):
    write(tmp_path, {"conf/types.qrn": "@type size_t = physics::bytes\n"
                                       "@schema S { max_body: size_t }\nmax_body = 5\n",
                     "app.qrn": "@import conf/types.qrn\n"})
    [d] = qern_native.check(["app.qrn"], directory=tmp_path)
    assert isinstance(d, qern_native.Diagnostic)
    assert (d.file, d.line, d.column, d.end_line, d.end_column) == ("conf/types.qrn", 3, 12, 3, 13)
    assert (d.severity, d.code) == ("error", "schema")
    assert d.message == ("Schema 'S' validation error: field 'max_body' (type 'size_t') "
                         "\u2014 Key not found: 'bytes'")
    # The same text Python raises for the same document.
    monkeypatch.chdir(tmp_path)
    assert str(error_of(lambda: QERN.load("app.qrn"))) == d.message
    assert d.chain == (("app.qrn", 1),)
    [hint] = d.hints
    assert isinstance(hint, qern_native.Hint)
    assert (hint.message, hint.replacement, hint.file, hint.line, hint.column, hint.end_line,
            hint.end_column) == ("did you mean 'physics::byte'?", "physics::byte",
                                 "conf/types.qrn", 1, 16, 1, 30)
    with pytest.raises(AttributeError):
        d.code = "other"
    with pytest.raises(AttributeError):
        hint.replacement = "x"


def test_problems_in_files_are_diagnostics_never_exceptions(tmp_path):
    found = qern_native.check(["missing.qrn", "also\0bad.qrn"], directory=tmp_path)
    assert [(d.file, d.code, d.line) for d in found] == [
        ("missing.qrn", "io", None), ("also\0bad.qrn", "io", None)]
    assert found[0].message == "IO Error: No such file or directory (os error 2)"
    (tmp_path / "empty").mkdir()
    [d] = qern_native.check(["empty"], directory=tmp_path)
    assert (d.code, d.message) == ("io", "IO Error: no .qrn files below the directory 'empty'")


@pytest.mark.parametrize("call, error, message", [
    (lambda: qern_native.check("app.qrn"), TypeError,
     "check() argument 'paths' must be a list of paths, not a single str (write [path])"),
    (lambda: qern_native.check(pathlib.Path("app.qrn")), TypeError, None),
    (lambda: qern_native.check([1]), TypeError,
     "check() argument 'paths' item must be a str or os.PathLike giving a str, not int"),
    (lambda: qern_native.check([b"app.qrn"]), TypeError, None),
    (lambda: qern_native.check(5), TypeError, None),
    (lambda: qern_native.check([]), ValueError,
     "check() argument 'paths' is empty: nothing to check"),
    (lambda: qern_native.check(["a.qrn"], directory=""), ValueError,
     "check() argument 'directory' is empty"),
    (lambda: qern_native.check(["a.qrn"], directory=3), TypeError, None),
    (lambda: qern_native.check(["a.qrn"], True), TypeError, None),
    (lambda: qern_native.check(["a.qrn"], stict=True), TypeError, None),
    (lambda: qern_native.check(), TypeError, None),
])
def test_bad_arguments_raise(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_eight_planted_mistakes_give_eight_diagnostics():
    found = qern_native.check(["app.qrn"], strict=True, directory=PLANTED)
    assert [(d.file, d.line, d.severity, d.code) for d in found] == [
        ("app.qrn", 3, "error", "derive"),
        ("conf/base.qrn", 3, "error", "schema"),
        ("conf/db.qrn", 1, "warning", "unknown-type"),
        ("conf/logging.qrn", 1, "error", "schema-directive"),
        ("conf/features.qrn", 1, "error", "unknown-directive"),
        ("app.qrn", 8, "error", "schema"),
        ("app.qrn", 9, "warning", "unknown-field"),
        ("app.qrn", 10, "warning", "hidden-character"),
    ]
    # Without strict, the five errors alone.
    assert [d.severity for d in qern_native.check(["app.qrn"], directory=PLANTED)] == [
        "error"] * 5


def test_threads_check_different_directories_at_once(tmp_path):
    # Each directory holds an app.qrn with a mistake on another line; the working directory
    # is never changed, so each thread's relative paths stay its own.
    expected = {}
    for i in range(6):
        directory = tmp_path / f"d{i}"
        write(directory, {"base.qrn": "@schema S { n: i32 }\n",
                          "app.qrn": "@derive base.qrn\n" + "n = 1\n" * i + "n = x\n"})
        expected[i] = [(i + 2, "schema")]
    cwd = os.getcwd()
    results, errors = {}, []

    def work(i):
        try:
            for _ in range(20):
                found = qern_native.check(["app.qrn"], directory=tmp_path / f"d{i}")
                results.setdefault(i, set()).add(tuple((d.line, d.code) for d in found))
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in expected]
    for t in threads:
        t.start()
    for t in threads:
        t.join(THREAD_TIMEOUT)
    assert not errors and not any(t.is_alive() for t in threads)
    assert {i: sorted(r) for i, r in results.items()} == {
        i: [tuple(e)] for i, e in expected.items()}
    assert os.getcwd() == cwd
