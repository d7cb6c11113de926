import os

import pytest

from qern_native import QERN

LOCATION = ("filename", "lineno", "colno", "end_lineno", "end_colno", "qern_chain")


def failure(call, *args):
    with pytest.raises(RuntimeError) as info:
        call(*args)
    err = info.value
    return str(err), tuple(getattr(err, name) for name in LOCATION), getattr(err, "__notes__", [])


@pytest.fixture
def project(tmp_path, monkeypatch):
    (tmp_path / "conf").mkdir()
    (tmp_path / "conf" / "features.qrn").write_text("dark_mode = true\n\n\nretries 3\n")
    (tmp_path / "conf" / "base.qrn").write_text("@schema Service { port: i32 }\nport = x\n")
    (tmp_path / "app.qrn").write_text("name = café\n@import conf/features.qrn\n")
    monkeypatch.chdir(tmp_path)
    return tmp_path


def test_an_error_in_an_imported_file_says_where_and_how_it_was_reached(project):
    text, where, notes = failure(QERN.load, "app.qrn")
    assert text == "Parse Error at line 4: 'retries 3'. Reason: Missing assignment operator '='"
    assert where == ("conf/features.qrn", 4, 1, 4, 10, [("app.qrn", 2)])
    assert notes == ["in conf/features.qrn:4:1, imported from app.qrn:2"]
    cfg = QERN()
    text, where, notes = failure(cfg.merge_content, "a = 1\n@derive conf/base.qrn")
    assert where == ("conf/base.qrn", 2, 8, 2, 9, [(None, 2)])
    assert notes == ["in conf/base.qrn:2:8, read by @derive at <string>:2"]
    assert cfg["a"] == "1"  # what came before the failing line stays


def test_text_from_a_string_has_no_file_and_columns_count_characters():
    text, where, notes = failure(QERN.parse, "@schema S { n: i32 }\n\u00e9t\u00e9 = 1\nn = \U0001f600x")
    assert text.startswith("Schema 'S' validation error: field 'n' (type 'i32')")
    assert where == (None, 3, 5, 3, 7, [])
    assert notes == ["in <string>:3:5"]


def test_files_that_cannot_be_read_are_named(project):
    text, where, notes = failure(QERN.load, "conf/app.qrn")
    assert text == "IO Error: No such file or directory (os error 2)"
    assert where == ("conf/app.qrn", None, None, None, None, [])
    assert notes == [f"in conf/app.qrn (relative to the working directory {os.getcwd()})"]
    # A path refused for its NUL byte is shown with the byte escaped.
    text, where, notes = failure(QERN.load, "/a\0b.qrn")
    assert (text, where[0], notes) == (
        "IO Error: file name contained an unexpected NUL byte", "/a\0b.qrn", ["in /a\\x00b.qrn"])
    text, where, notes = failure(QERN().merge_content, "\n@import 'conf/gone.qrn'")
    assert where == (None, 2, 9, 2, 24, [])
    assert notes == [f"in <string>:2:9, reading 'conf/gone.qrn' (relative to the working "
                     f"directory {os.getcwd()})"]


def test_errors_that_come_from_no_merge_carry_no_place():
    cfg = QERN.parse("a = 1")
    for call, args in [(cfg.validate_value, ("i32", "x")), (cfg.__getitem__, ("absent",))]:
        text, where, notes = failure(call, *args)
        assert where == (None, None, None, None, None, []) and notes == []


def test_a_leading_byte_order_mark_is_dropped(project):
    (project / "bom.qrn").write_bytes("\ufeff@schema S { port: i32 }\nport = 80\n".encode())
    assert QERN.load("bom.qrn").keys() == ["port"]
    _, where, _ = failure(QERN.parse, "\ufeffport 80")
    assert where[1:5] == (1, 1, 1, 8)


def test_a_trailing_lone_cr_is_no_part_of_the_span():
    for text in ("a = 1\r\nbad\r", "a = 1\r\nbad\r\n"):
        _, where, _ = failure(QERN.parse, text)
        assert where[1:5] == (2, 1, 2, 4), repr(text)
