import pytest

from qern_native import QERN


def runtime_error(call):
    with pytest.raises(RuntimeError) as info:
        call()
    assert len(info.value.args) == 1 and info.value.__cause__ is None
    return info.value.args[0]


def test_lookups(cfg):
    assert cfg.find_obj("host") == "localhost"
    assert cfg.find_obj("localhost") == "host"  # falls back to the reverse lookup
    assert cfg.find_obj("absent") is None
    assert cfg.find_key("8080") == "port"
    assert cfg.find_key("port") is None
    assert cfg.find_deep("alias") == "localhost"
    assert cfg.find_deep("absent") is None


def test_list_and_object_values(cfg):
    assert cfg.find_list("ports") == ["8080", "8081", "8082"]
    assert cfg.find_list("host") is None and cfg.find_list("absent") is None
    assert cfg.find_object("origin") == {"x": "0", "y": "1.5", "label": "home"}
    assert cfg.find_object("ports") is None and cfg.find_object("absent") is None
    broken = QERN.parse("a = { a = 1\nb = { a }\nc = {}\nd = []")
    assert broken.find_object("a") is None  # no closing brace
    assert broken.find_object("b") is None  # a parse failure is no error
    assert broken.find_object("c") == {}
    assert broken.find_list("d") == []


def test_mapping_slots(cfg):
    assert cfg["port"] == "8080"
    assert cfg["localhost"] == "host"
    assert "port" in cfg and "localhost" in cfg and "absent" not in cfg
    assert runtime_error(lambda: cfg["absent"]) == "Key not found: 'absent'"
    assert runtime_error(lambda: cfg[" a'b "]) == "Key not found: ' a'b '"


def test_keys_and_to_dict_agree(cfg):
    pairs = cfg.to_dict()
    assert sorted(cfg.keys()) == sorted(pairs) == ["alias", "host", "origin", "port", "ports"]
    assert pairs["ports"] == "[8080, 8081, 8082]"
    assert len(cfg) == 5
    assert all(type(k) is str for k in cfg.keys())


@pytest.mark.parametrize(
    "key, value",
    [("caf\u00e9", "cr\u00e8me br\u00fbl\u00e9e"), ("\u65e5\u672c", "\U0001f600"),
     ("nul", "a\x00b"), ("empty", ""), ("x", "y"),
     # ASCII texts skip the decoder: a byte above 0x7F after whole words of ASCII, or in
     # the first word of a longer text, must still send the text through it.
     ("ascii_words", "abcdefghijklmnop"), ("tail", "abcdefgh\u00e9"),
     ("\u00e9abcdefghij", "abcdefg\u00ff12345678")],
)
def test_text_round_trips_as_utf8(key, value):
    cfg = QERN.parse(f'{key} = "{value}"')
    assert cfg.find_obj(key) == value
    assert cfg.to_dict() == {key: value}
    assert cfg.keys() == [key]
    found = cfg.find_obj(key)
    assert found.isascii() == value.isascii() and hash(found) == hash(value)
    if value:
        assert cfg.find_key(value) == key


def test_one_non_ascii_character_anywhere_is_decoded():
    # Whatever its length, a text with one character above U+007F at any place must come
    # back as that character, in keys, values and the dict alike.
    lines, expected = [], {}
    for n in range(1, 25):
        for i in range(n):
            text = "a" * i + "\u00e9" + "b" * (n - i - 1)
            lines.append(f"k_{n}_{i}_{text} = {text}")
            expected[f"k_{n}_{i}_{text}"] = text
    cfg = QERN.parse("\n".join(lines))
    assert cfg.to_dict() == expected
    assert all(cfg.find_obj(k) == v for k, v in expected.items())


def test_validate_value():
    cfg = QERN.parse("@type port_t = i32\n@schema Point { x: f64, y: f64 }")
    assert cfg.validate_value("i32", "42") is None
    assert cfg.validate_value("port_t", "8080") is None
    assert runtime_error(lambda: cfg.validate_value("i32", "x")) == (
        "Invalid type 'i32': Invalid value: Expected i32, got 'x'"
    )
    assert runtime_error(lambda: cfg.validate_value("nosuch", "1")) == "Key not found: 'nosuch'"
    assert runtime_error(lambda: cfg.validate_value("Point", "{x = 1, y = 2}")) == (
        "Key not found: 'Point'"
    )


@pytest.mark.parametrize(
    "text, message",
    [
        ("a = 1\nb = 2\nport", "Parse Error at line 3: 'port'. Reason: Missing assignment operator '='"),
        ("= 1", "Parse Error at line 1: '= 1'. Reason: Key cannot be empty"),
        ("@Import a.qrn", "Parse Error at line 1: 'Import a.qrn'. Reason: Unknown directive: @Import"),
        ("@schema P x: f64", "Directive '@schema' error: Expected '{'"),
        (
            "@schema S { port: i32 }\nport = x",
            "Schema 'S' validation error: field 'port' (type 'i32') \u2014 Invalid value: "
            "Expected i32, got 'x'",
        ),
    ],
)
def test_core_errors_keep_their_text(text, message):
    assert runtime_error(lambda: QERN.parse(text)) == message


def test_failed_merge_keeps_what_came_before(cfg):
    with pytest.raises(RuntimeError):
        cfg.merge_content("new = 1\nbroken\nlater = 2")
    assert cfg["new"] == "1" and "later" not in cfg
    cfg.merge_content("later = 3")
    assert cfg["later"] == "3"


def test_files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "base.qrn").write_text("@schema Srv { host: string, port: i32 }\nport = 80\n")
    (tmp_path / "main.qrn").write_text(
        "@derive base.qrn::Srv\nhost = example.org\n", encoding="utf-8"
    )
    (tmp_path / "extra.qrn").write_text("@import base.qrn\nextra = yes\n")
    (tmp_path / "latin1.qrn").write_bytes(b"k = caf\xe9\n")
    cfg = QERN.load("main.qrn")
    assert cfg.to_dict() == {"host": "example.org", "port": "80"}
    assert cfg.merge_file("extra.qrn") is None
    assert cfg["extra"] == "yes"
    assert runtime_error(lambda: cfg.merge_content("port = eighty")).startswith("Schema 'Srv'")
    assert runtime_error(lambda: QERN.load("missing.qrn")).startswith("IO Error: ")
    assert runtime_error(lambda: cfg.merge_file("missing.qrn")).startswith("IO Error: ")
    assert runtime_error(lambda: QERN.load("latin1.qrn")) == (
        "IO Error: stream did not contain valid UTF-8"
    )


ERRORS = [
    lambda c: c.find_obj(1),
    lambda c: c.find_obj("\ud800"),
    lambda c: c["absent"],
    lambda c: c.validate_value("i32", "x"),
    lambda c: c.merge_content("broken"),
    lambda c: c.merge_content(None),
    lambda c: c.merge_file("/nonexistent/file.qrn"),
]


@pytest.mark.parametrize("fail", ERRORS)
def test_the_borrow_is_released_after_errors(cfg, fail):
    with pytest.raises(Exception):
        fail(cfg)
    cfg.merge_content("after = 1")  # exclusive: refused if any borrow were left behind
    assert cfg.find_obj("after") == "1"
    assert len(cfg) == 6
