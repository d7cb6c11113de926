"""`qern fmt`: each layout rule on a golden pair, files in place, --check, --diff (which
patch and git apply take), standard input, refusals, and the repository's own samples."""

import os
import pathlib
import re
import shutil
import stat
import subprocess

import pytest

from conftest import HERE, ROOT, run

PAIRS = sorted(p.name[: -len(".in.qrn")] for p in (HERE / "fmt").glob("*.in.qrn"))


QERN = str(os.environ.get("QERN_BIN", ROOT / "build" / "bin" / "qern"))


def read(path):
    return pathlib.Path(path).read_bytes()


def run_bytes(*args, stdin=b"", cwd=None):
    """`qern ARGS` with bytes in and out, line endings untouched."""
    return subprocess.run([QERN, *args], input=stdin, capture_output=True, cwd=cwd)


@pytest.mark.parametrize("name", PAIRS)
def test_each_rule_on_its_golden_pair(name, tmp_path):
    source = HERE / "fmt" / f"{name}.in.qrn"
    expected = read(HERE / "fmt" / f"{name}.out.qrn")
    target = tmp_path / "f.qrn"
    shutil.copy(source, target)
    result = run("fmt", "f.qrn", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert read(target) == expected
    assert result.stderr == "qern: 1 file reformatted, 0 files left unchanged\n"
    # Formatted once, it stays as it is.
    again = run("fmt", "--check", "f.qrn", cwd=tmp_path)
    assert again.returncode == 0 and again.stdout == ""


def test_in_place_keeps_permissions_and_leaves_formatted_files_alone(tmp_path):
    messy = tmp_path / "messy.qrn"
    messy.write_bytes(b"a=1\n")
    messy.chmod(0o640)
    tidy = tmp_path / "sub" / "tidy.qrn"
    tidy.parent.mkdir()
    tidy.write_bytes(b"a = 1\n")
    before = tidy.stat().st_mtime_ns
    os.utime(tidy, ns=(before - 10**9, before - 10**9))
    result = run("fmt", ".", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert read(messy) == b"a = 1\n"
    assert stat.S_IMODE(messy.stat().st_mode) == 0o640
    assert tidy.stat().st_mtime_ns == before - 10**9  # not rewritten
    assert result.stderr == "qern: 1 file reformatted, 1 file left unchanged\n"
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["messy.qrn", "sub", "tidy.qrn"]


def test_a_symbolic_link_formats_the_file_it_names(tmp_path):
    real = tmp_path / "real.qrn"
    real.write_bytes(b"a=1\n")
    (tmp_path / "link.qrn").symlink_to("real.qrn")
    assert run("fmt", "link.qrn", cwd=tmp_path).returncode == 0
    assert (tmp_path / "link.qrn").is_symlink()
    assert read(real) == b"a = 1\n"


def test_check_lists_what_would_change_and_changes_nothing(tmp_path):
    (tmp_path / "a.qrn").write_bytes(b"a=1\n")
    (tmp_path / "b.qrn").write_bytes(b"b = 1\n")
    result = run("fmt", "--check", ".", cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout == "a.qrn\n"
    assert result.stderr == "qern: 1 file would be reformatted, 1 file already formatted\n"
    assert read(tmp_path / "a.qrn") == b"a=1\n"


@pytest.mark.parametrize("tool", ["patch", "git"])
def test_diff_is_what_patch_and_git_apply_take(tool, tmp_path):
    if shutil.which(tool) is None:
        pytest.skip(f"no {tool}")
    text = "".join(f"k{i} = {i}\n" for i in range(40))
    text = text.replace("k3 = 3", "k3=3").replace("k20 = 20", "  k20 =20")
    text += "\n\n\nlast=1"  # no final newline
    (tmp_path / "c.qrn").write_text(text, encoding="utf-8")
    (tmp_path / "d.qrn").write_bytes(b"a = 1\r\nb=2\r\n")
    result = run_bytes("fmt", "--diff", "c.qrn", "d.qrn", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(b"--- c.qrn\n+++ c.qrn\n@@ -1,7 +1,7 @@\n")
    assert b"\\ No newline at end of file" in result.stdout
    assert b"+b = 2\r\n" in result.stdout
    assert read(tmp_path / "c.qrn") == text.encode()  # --diff changes nothing
    (tmp_path / "changes.patch").write_bytes(result.stdout)
    if tool == "patch":
        subprocess.run(["patch", "-p0", "-s", "-i", "changes.patch"], cwd=tmp_path, check=True)
    else:
        subprocess.run(["git", "apply", "-p0", "changes.patch"], cwd=tmp_path, check=True)
    # The patched files are the formatted ones.
    expected = tmp_path / "expected"
    expected.mkdir()
    (expected / "c.qrn").write_text(text, encoding="utf-8")
    (expected / "d.qrn").write_bytes(b"a = 1\r\nb=2\r\n")
    assert run("fmt", "c.qrn", "d.qrn", cwd=expected).returncode == 0
    for name in ("c.qrn", "d.qrn"):
        assert read(tmp_path / name) == read(expected / name)


def test_standard_input_to_standard_output():
    result = run_bytes("fmt", "-", stdin=b"a=1\r\n\n\n\nb=2")
    assert result.returncode == 0
    assert result.stdout == b"a = 1\r\n\r\nb = 2\r\n"
    assert result.stderr == b""
    refused = run_bytes("fmt", "-", stdin=b"a=1\nretries 3\n")
    assert (refused.returncode, refused.stdout) == (1, b"")
    assert b"<stdin>:2:1: error: Parse Error at line 2" in refused.stderr


def test_a_file_that_does_not_parse_is_refused_and_left_alone(tmp_path):
    bad = tmp_path / "bad.qrn"
    bad.write_bytes(b"a=1\nretries 3\n")
    result = run("fmt", "bad.qrn", cwd=tmp_path)
    assert result.returncode == 1
    assert read(bad) == b"a=1\nretries 3\n"
    assert result.stdout == ""
    # Printed as `qern check` prints it.
    check = run("check", "bad.qrn", cwd=tmp_path)
    assert check.stdout in result.stderr
    assert "bad.qrn:2:1: error: Parse Error at line 2: 'retries 3'." in result.stderr
    assert result.stderr.endswith(
        "qern: 0 files reformatted, 0 files left unchanged, 1 file not formatted (see above)\n")


def test_unreadable_and_missing_files(tmp_path):
    (tmp_path / "latin1.qrn").write_bytes(b"a = caf\xe9\n")
    result = run("fmt", "latin1.qrn", "nowhere.qrn", cwd=tmp_path)
    assert result.returncode == 1
    assert "latin1.qrn: error: IO Error: stream did not contain valid UTF-8 [io]" in result.stderr
    assert "nowhere.qrn: error: IO Error: No such file or directory (os error 2) [io]" in (
        result.stderr)


def test_usage():
    assert run("fmt").returncode == 2
    assert run("fmt", "-", "-").returncode == 2
    help_text = run("fmt", "--help").stdout
    for flag in ("--check", "--diff", "PATH"):
        assert flag in help_text
    assert "fmt" in run("help").stdout


def samples():
    """The repository's own QERN samples: examples/ and the docs' `.. qern::` blocks (but
    those marked :unformatted:, which show what the formatter changes)."""
    found = [(p.relative_to(ROOT).as_posix(), p.read_text(encoding="utf-8"))
             for p in sorted((ROOT / "examples").glob("*.qrn"))]
    for page in sorted((ROOT / "docs").glob("*.rst")):
        lines = page.read_text(encoding="utf-8").splitlines()
        for i, line in enumerate(lines):
            if not re.match(r"\.\. qern::", line):
                continue
            j = i + 1
            options = []
            while j < len(lines) and (not lines[j].strip() or lines[j].startswith("   :")):
                options.append(lines[j].strip())
                j += 1
            body = []
            while j < len(lines) and (not lines[j].strip() or lines[j].startswith("   ")):
                body.append(lines[j][3:])
                j += 1
            while body and not body[-1].strip():
                body.pop()
            if ":unformatted:" in options:
                continue  # shows what the formatter changes
            found.append((f"{page.name}:{i + 1}", "\n".join(body) + "\n"))
    return found


def test_the_repositorys_samples_are_formatted(tmp_path):
    unformatted = []
    for name, text in samples():
        result = run_bytes("fmt", "-", stdin=text.encode())
        if result.returncode == 1:
            continue  # a sample that shows an error: it does not parse
        assert result.returncode == 0, (name, result.stderr)
        if result.stdout.decode() != text:
            unformatted.append(name)
    assert not unformatted, f"run qern fmt on these samples: {unformatted}"
