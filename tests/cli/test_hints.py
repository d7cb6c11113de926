"""`qern check`: hints, the declaration checks of --strict, and derives that go on past
errors in their base."""

import json

import pytest

from conftest import DATA, run


def check(tmp_path, files, *args, main="app.qrn"):
    """Writes `files` (name -> text) into tmp_path and checks `main` there, in JSON."""
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(text.encode("utf-8"))
    result = run("check", "--format", "json", *args, main, cwd=tmp_path)
    assert result.returncode in (0, 1), result.stderr
    return json.loads(result.stdout)["diagnostics"]


def only_hint(found):
    [d] = found
    [hint] = d["hints"]
    return d, hint


@pytest.mark.parametrize(
    "text, code, replacement, message, columns",
    [
        ("@imprt other.qrn", "unknown-directive", "@import", "did you mean '@import'?", (1, 7)),
        ("@type a_t = i23", "unknown-type", "i32", "did you mean 'i32'?", (13, 16)),
        ("@type a_t = int", "unknown-type", "i32", "the integer type is 'i32'", (13, 16)),
        ("@type a_t = lsit<string>", "unknown-type", "list<string>",
         "did you mean 'list<string>'?", (13, 25)),
        ("@type a_t = physics::bytes", "unknown-type", "physics::byte",
         "did you mean 'physics::byte'?", (13, 27)),
        ("@type a_t = physics::meters", "unknown-type", "physics::meter",
         "did you mean 'physics::meter'?", (13, 28)),
        ("@type a_t = time::date", "unknown-type", "time::datetime",
         "dates, with or without a time, are 'time::datetime'", (13, 23)),
        ("@schema S { workers: i32 }\nwokers = 3", "unknown-field", "workers",
         "did you mean 'workers'?", (1, 7)),
    ],
)
def test_each_hint_names_its_replacement_and_span(tmp_path, text, code, replacement, message,
                                                  columns):
    d, hint = only_hint(check(tmp_path, {"app.qrn": text + "\n"}, "--strict"))
    assert d["code"] == code
    line = text.count("\n") + 1
    assert (hint["replacement"], hint["message"]) == (replacement, message)
    assert (hint["file"], hint["line"], hint["end_line"]) == ("app.qrn", line, line)
    assert (hint["column"], hint["end_column"]) == columns == (d["column"], d["end_column"])


def test_an_unknown_schema_in_a_derive_selector_gets_a_hint(tmp_path):
    found = check(tmp_path, {"base.qrn": "@schema Limits { x: i32 }\n",
                             "app.qrn": "@derive base.qrn::Limts\n"})
    d, hint = only_hint(found)
    assert d["message"] == "Directive '@derive' error: Schema 'Limts' not found"
    assert (hint["replacement"], hint["column"], hint["end_column"]) == ("Limits", 19, 24)


@pytest.mark.parametrize("text", [
    "@type a_t = zzqq",                    # nothing near
    "@schema S { workers: i32 }\nzzz = 1",  # no field near
    "@schema S { ab: i32, ac: i32 }\nad = 1",  # two fields as near: none is clearly best
])
def test_no_hint_without_a_clearly_best_candidate(tmp_path, text):
    found = check(tmp_path, {"app.qrn": text + "\n"}, "--strict")
    assert all(d["hints"] == [] for d in found), found


def test_hints_in_the_text_and_github_formats(tmp_path):
    (tmp_path / "app.qrn").write_text("@schema S { workers: i32 }\nwokers = 3\n")
    text = run("check", "--strict", "app.qrn", cwd=tmp_path).stdout
    assert text.splitlines()[3:6] == [
        "  help: did you mean 'workers'?",
        "    2 | workers = 3",
        "      | ~~~~~~~",
    ]
    github = run("check", "--strict", "--format", "github", "app.qrn", cwd=tmp_path).stdout
    assert github.endswith("::Key 'wokers' is no field of any schema, so its value is not "
                           "checked%0Ahelp: did you mean 'workers'?\n")


def test_an_error_in_the_base_leaves_the_rest_of_the_deriving_file_checked(tmp_path):
    found = check(tmp_path, {
        "base.qrn": "@type size_t = physics::bytes\n"
                    "@schema S { max_body: size_t, workers: i32 }\nmax_body = 5\n",
        "app.qrn": "@derive base.qrn\nworkers = eight\n",
    })
    assert [(d["file"], d["line"], d["code"]) for d in found] == [
        ("base.qrn", 3, "schema"), ("app.qrn", 2, "schema")]
    base, app = found
    assert base["message"] == ("Schema 'S' validation error: field 'max_body' (type 'size_t') "
                               "\u2014 Key not found: 'bytes'")
    assert base["chain"] == [{"file": "app.qrn", "line": 1, "kind": "derive"}]
    # The alias that names the unknown type is where the mistake is.
    assert [(r["file"], r["line"], r["column"], r["message"]) for r in base["related"]] == [
        ("base.qrn", 1, 16, "type 'size_t' is declared here as 'physics::bytes'")]
    assert [(h["replacement"], h["line"], h["column"]) for h in base["hints"]] == [
        ("physics::byte", 1, 16)]
    assert app["message"].endswith("Invalid value: Expected i32, got 'eight'")


def test_a_derive_chain_three_deep_reports_an_error_at_each_level(tmp_path):
    found = check(tmp_path, {
        "c.qrn": "@schema A { a: i32 }\na = one\n",
        "b.qrn": "@derive c.qrn\n@schema B { b: f64 }\nb = two\nbroken line\n",
        "app.qrn": "@derive b.qrn\n@schema C { c: bool }\nc = three\na = 4\nb = 2.5\n",
    })
    assert [(d["file"], d["line"], d["code"], len(d["chain"])) for d in found] == [
        ("c.qrn", 2, "schema", 2),
        ("b.qrn", 3, "schema", 1),
        ("b.qrn", 4, "parse", 1),
        ("app.qrn", 3, "schema", 0),
    ]
    assert [s["file"] for s in found[0]["chain"]] == ["app.qrn", "b.qrn"]


def test_a_schema_that_failed_to_register_is_said_once_and_causes_nothing_more(tmp_path):
    found = check(tmp_path, {
        "base.qrn": "@schema T { p: i32 \nx = 1\n",
        "app.qrn": "@derive base.qrn::T\np = x\n@schema U { q: T }\nq = 5\n",
    })
    [d] = found
    assert (d["file"], d["code"], d["message"]) == (
        "base.qrn", "schema-directive", "Directive '@schema' error: Expected '}'")
    assert [r["message"] for r in d["related"]] == [
        "schema 'T' is not registered: the keys it declares are not checked, and what needs "
        "it is not reported again"]


def test_an_unknown_field_type_is_a_warning_where_it_is_declared(tmp_path):
    # Without --strict a declaration is only checked when a key needs it.
    assert check(tmp_path, {"app.qrn": "@schema S { a: i23 }\n"}) == []
    d, hint = only_hint(check(tmp_path, {"app.qrn": "@schema S { a: i23 }\n"}, "--strict"))
    assert (d["severity"], d["code"], d["line"], d["column"], d["end_column"]) == (
        "warning", "unknown-type", 1, 16, 19)
    assert d["message"] == "Unknown type 'i23' in the declaration of field 'a' of schema 'S'"
    assert hint["replacement"] == "i32"
    # Once a key needs it, the error points at the declaration, which is not warned again.
    found = check(tmp_path, {"app.qrn": "@schema S { a: i23 }\na = 1\n"}, "--strict")
    d, hint = only_hint(found)
    assert (d["code"], d["line"], hint["line"], hint["column"]) == ("unknown-type", 2, 1, 16)
    assert [(r["line"], r["column"]) for r in d["related"]] == [(1, 16)]


def test_a_derived_schema_is_warned_about_in_its_base(tmp_path):
    found = check(tmp_path, {"base.qrn": "@schema S { a: lsit<i32> }\n",
                             "app.qrn": "@derive base.qrn\n"}, "--strict")
    d, hint = only_hint(found)
    assert (d["file"], d["line"], d["column"], d["code"]) == ("base.qrn", 1, 16, "unknown-type")
    assert hint["replacement"] == "list<i32>"


@pytest.mark.parametrize("key, first", [
    ("ma\u200bx_body", "U+200B ZERO WIDTH SPACE"),
    ("max\ufeff_body", "U+FEFF ZERO WIDTH NO-BREAK SPACE (byte-order mark)"),
    ("\u202emax_body", "U+202E RIGHT-TO-LEFT OVERRIDE"),
    ("\u2066max_body\u2069", None),
])
def test_hidden_characters_in_a_key_are_a_warning(tmp_path, key, first):
    found = check(tmp_path, {"app.qrn": f"@schema S {{ max_body: i32 }}\n{key} = 5\n"},
                  "--strict")
    d, hint = only_hint(found)
    assert (d["code"], d["line"], d["column"]) == ("hidden-character", 2, 1)
    if first is not None:
        assert d["message"] == (f"Key '{key}' holds {first}, an invisible character: it is "
                                "not the key it looks like")
    else:
        assert " holds 2 invisible characters, the first U+2066 " in d["message"]
    assert hint["replacement"] == "max_body"


def test_a_byte_order_mark_at_the_start_and_joiners_inside_words_are_no_warning(tmp_path):
    text = "\ufeffname = x\n\u0915\u094d\u200d\u0937 = y\n"
    assert check(tmp_path, {"app.qrn": text}, "--strict") == []


def test_eight_planted_mistakes_give_eight_diagnostics():
    result = run("check", "--strict", "--format", "json", "app.qrn", cwd=DATA / "planted")
    report = json.loads(result.stdout)
    assert (report["errors"], report["warnings"]) == (5, 3)
    found = report["diagnostics"]
    assert [(d["file"], d["line"], d["code"]) for d in found] == [
        ("app.qrn", 3, "derive"),                    # a schema misspelt in a selector
        ("conf/base.qrn", 3, "schema"),              # an alias of an unknown type, in the base
        ("conf/db.qrn", 1, "unknown-type"),          # a field of an unknown type
        ("conf/logging.qrn", 1, "schema-directive"),  # a schema that does not register
        ("conf/features.qrn", 1, "unknown-directive"),
        ("app.qrn", 8, "schema"),                    # checked despite the base's errors
        ("app.qrn", 9, "unknown-field"),
        ("app.qrn", 10, "hidden-character"),
    ]
    assert all(d["hints"] for i, d in enumerate(found) if i not in (3, 5))
