"""get, keys, export and validate, which read as the library does; help, version, usage."""

import json

import pytest

from conftest import DATA, run

SERVICE = DATA / "service"


@pytest.fixture
def config(tmp_path):
    (tmp_path / "common.qrn").write_text("@type port_t = i32\ntimezone = UTC\n")
    (tmp_path / "app.qrn").write_text(
        "@import common.qrn\n"
        "host = example.org\n"
        "port = 8080\n"
        'title = "Café ☕, \\"quoted\\""\n'
        "primary = host\n"
        "port = 8443\n",
        encoding="utf-8",
    )
    return tmp_path


def test_get(config):
    assert run("get", "app.qrn", "host", cwd=config).stdout == "example.org\n"
    assert run("get", "app.qrn", "port", cwd=config).stdout == "8443\n"  # the later value
    assert run("get", "app.qrn", "timezone", cwd=config).stdout == "UTC\n"  # imported
    # No key "example.org": the key whose value it is.
    assert run("get", "app.qrn", "example.org", cwd=config).stdout == "host\n"
    missing = run("get", "app.qrn", "nothing", cwd=config)
    assert (missing.returncode, missing.stdout) == (1, "")
    assert missing.stderr == "qern: 'nothing' is neither a key nor a value in app.qrn\n"
    elsewhere = run("get", "-C", config, "app.qrn", "timezone")
    assert (elsewhere.returncode, elsewhere.stdout) == (0, "UTC\n")


def test_keys(config):
    result = run("keys", "app.qrn", cwd=config)
    assert result.returncode == 0
    assert result.stdout == "host\nport\nprimary\ntimezone\ntitle\n"


def test_export(config):
    plain = run("export", "app.qrn", cwd=config)
    assert plain.returncode == 0
    # In the order of each key's first assignment (the imported key where its @import
    # stands); sorted on request.
    assert list(json.loads(plain.stdout).items()) == [
        ("timezone", "UTC"),
        ("host", "example.org"),
        ("port", "8443"),
        ("title", 'Café ☕, \\"quoted\\"'),
        ("primary", "host"),
    ]
    assert "order of each key's first assignment" in run("export", "--help").stdout
    sorted_ = run("export", "--sort-keys", "app.qrn", cwd=config)
    assert list(json.loads(sorted_.stdout)) == ["host", "port", "primary", "timezone", "title"]
    assert sorted_.stdout.endswith("}\n")


def test_export_of_many_keys_keeps_each_once(tmp_path):
    (tmp_path / "big.qrn").write_text("".join(f"k{i} = v{i}\n" for i in range(20000)))
    exported = json.loads(run("export", "big.qrn", cwd=tmp_path).stdout)
    assert len(exported) == 20000 and exported["k19999"] == "v19999"


TYPED = """\
@schema Gpu { model: string, memory: physics::byte }
@schema Deploy { replicas: i32, ratio: f64, canary: bool, regions: list<string>, gpu: Gpu }
@schema When { window: time::duration, since: time::datetime, at: time::datetime }
@schema Space { pos: math::vector3, m: math::matrix3x3, span: time::day }
zone = eu
replicas = 3
ratio = 1
canary = FALSE
regions = [eu-west, 'us-east']
gpu = { model = a100, memory = 1024, note = spare }
window = P1DT1H30M0.25S
since = 2024-05-01
at = 2024-05-01 08:30+02:00
pos = 1, 2, 3
m = 1,0,0,0,1,0,0,0,1
span = 2
replicas = 4
"""


def test_export_typed(tmp_path):
    (tmp_path / "deploy.qrn").write_text(TYPED)
    typed = run("export", "--typed", "deploy.qrn", cwd=tmp_path)
    assert typed.returncode == 0, typed.stderr
    exported = json.loads(typed.stdout)
    assert exported == {
        "zone": "eu", "replicas": 4, "ratio": 1.0, "canary": False,
        "regions": ["eu-west", "'us-east'"],
        "gpu": {"model": "a100", "memory": 1024, "note": "spare"},
        "window": "P1DT1H30M0.25S", "since": "2024-05-01", "at": "2024-05-01T08:30:00+02:00",
        "pos": [1.0, 2.0, 3.0], "m": [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]],
        "span": 2.0,
    }
    assert list(exported) == ["zone", "replicas", "ratio", "canary", "regions", "gpu", "window",
                              "since", "at", "pos", "m", "span"]  # first assignment
    assert '"ratio": 1.0,' in typed.stdout and typed.stdout.endswith("}\n")
    sorted_ = json.loads(run("export", "--typed", "--sort-keys", "deploy.qrn", cwd=tmp_path).stdout)
    assert list(sorted_) == sorted(exported) and sorted_ == exported
    # Plain export stays strings.
    assert json.loads(run("export", "deploy.qrn", cwd=tmp_path).stdout)["replicas"] == "4"


def test_export_typed_refuses_what_has_no_typed_json(tmp_path):
    (tmp_path / "late.qrn").write_text("due = 2024-02-30\n@schema Job { due: time::datetime }\n")
    late = run("export", "--typed", "late.qrn", cwd=tmp_path)
    assert (late.returncode, late.stdout) == (1, "")
    assert late.stderr == (
        "late.qrn: error: Cannot convert key 'due' (type 'time::datetime') = '2024-02-30': day 30 "
        "is out of range for 2024-02 (01 to 29) [conversion]\n")
    for value, shown in (("inf", "inf"), ("-Infinity", "-inf"), ("NaN", "nan")):
        (tmp_path / "inf.qrn").write_text(f"@schema S {{ xs: list<f64> }}\nxs = [1, {value}]\n")
        refused = run("export", "--typed", "inf.qrn", cwd=tmp_path)
        assert (refused.returncode, refused.stdout) == (1, "")
        assert refused.stderr == f"qern: key 'xs' holds {shown}, which JSON has no number for\n"
def names(prefix, n):
    """n keys whose order is neither sorted nor any hash order: a shuffle, fixed."""
    return [f"{prefix}{(i * 7919) % n:03d}" for i in range(n)]


def test_export_keeps_the_first_assignment_order_on_every_run(tmp_path):
    # Keys come where they are first assigned: an imported file's in its place, a derived
    # base's missing keys where the @derive stands, in the base's own order (its imports
    # included); a later assignment changes the value, never the place.
    own, common, base = names("own", 150), names("com", 60), names("base", 90)
    extra = names("x", 30)
    (tmp_path / "common.qrn").write_text("".join(f"{k} = c\n" for k in common) + "zeta = common\n")
    (tmp_path / "extra.qrn").write_text("".join(f"{k} = e\n" for k in extra))
    (tmp_path / "base.qrn").write_text(
        "".join(f"{k} = b\n" for k in base[:45]) + "@import extra.qrn\n"
        + "".join(f"{k} = b\n" for k in base[45:]) + "zeta = base\nmike = base\n")
    (tmp_path / "app.qrn").write_text(
        "zeta = 1\n" + "".join(f"{k} = o\n" for k in own[:75]) + "@import common.qrn\n"
        + "@derive base.qrn\n" + "".join(f"{k} = o\n" for k in own[75:]) + "mike = 2\n")
    expected = (["zeta"] + own[:75] + common + base[:45] + extra + base[45:] + ["mike"]
                + own[75:])
    for _ in range(6):  # each run seeds its hashes afresh
        exported = json.loads(run("export", "app.qrn", cwd=tmp_path).stdout)
        assert list(exported) == expected
        assert (exported["zeta"], exported["mike"]) == ("common", "2")
        by_name = run("export", "--sort-keys", "app.qrn", cwd=tmp_path).stdout
        assert list(json.loads(by_name)) == sorted(expected)


def test_validate():
    assert run("validate", "i32", "42").returncode == 0
    assert run("validate", "i32", "-5").returncode == 0  # a value, not an option
    assert run("validate", "math::vector3", "1, 2, 3").returncode == 0
    bad = run("validate", "i32", "x")
    assert (bad.returncode, bad.stdout) == (1, "")
    assert bad.stderr == "Invalid type 'i32': Invalid value: Expected i32, got 'x'\n"
    unknown = run("validate", "port_t", "80")
    assert (unknown.returncode, unknown.stderr) == (1, "Key not found: 'port_t'\n")
    # --with reads a file first, for its aliases.
    assert run("validate", "port_t", "80", "--with", "clean.qrn").returncode == 0
    aliased = run("validate", "--with", "clean.qrn", "port_t", "eighty")
    assert aliased.stderr == "Invalid type 'port_t': Invalid value: Expected i32, got 'eighty'\n"


@pytest.mark.parametrize(
    "args",
    [
        ["get", "app.qrn", "port"],
        ["keys", "app.qrn"],
        ["export", "app.qrn"],
        ["export", "--typed", "app.qrn"],
        ["validate", "--with", "app.qrn", "i32", "1"],
    ],
)
def test_a_failing_file_is_reported_where_it_fails(args):
    # The library's own read stops at the first error: here, inside an imported file.
    result = run(*args, cwd=SERVICE)
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == (
        "conf/limits.qrn:2:11: error: Schema 'Limits' validation error: field 'workers' "
        "(type 'i32') \u2014 Invalid value: Expected i32, got 'many' [schema]\n"
        "    2 | workers = many\n"
        "      |           ^^^^\n"
        "  note: imported from conf/common.qrn:2\n"
        "  note: imported from app.qrn:2\n"
    )


def test_a_missing_file_names_the_working_directory(tmp_path):
    result = run("keys", "conf/app.qrn", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == (
        "conf/app.qrn: error: IO Error: No such file or directory (os error 2) [io]\n"
        f"  note: 'conf/app.qrn' was looked up relative to the working directory {tmp_path}\n"
    )


def test_version_and_help():
    assert run("--version").stdout == "qern 1.4.0\n"
    overview = run("help")
    assert overview.returncode == 0
    for command in ("check", "get", "keys", "export", "validate", "lsp"):
        assert f"\n  {command} " in overview.stdout
        own = run(command, "--help")
        assert own.returncode == 0 and f"Usage: qern {command}" in own.stdout
    assert run("help", "check").stdout == run("check", "--help").stdout
    assert run("--help").stdout == overview.stdout


@pytest.mark.parametrize(
    "args, reason, hint",
    [
        ([], "A subcommand is required", "qern --help"),
        (["chek", "x.qrn"], "unknown command 'chek'; did you mean 'check'?", "qern --help"),
        (["--strict", "check"], "unknown option '--strict'", "qern --help"),
        (["get", "app.qrn"], "KEY is required", "qern get --help"),
        (["export", "--sorted", "a.qrn"], "--sorted", "qern export --help"),
        (["validate", "i32"], "VALUE is required", "qern validate --help"),
        (["help", "nothing"], "unknown command 'nothing'", "qern --help"),
    ],
)
def test_wrong_usage(args, reason, hint):
    result = run(*args)
    assert (result.returncode, result.stdout) == (2, "")
    first, second = result.stderr.splitlines()
    assert first.startswith("qern: ") and reason in first
    assert f"'{hint}'" in second
