"""Smoke test of an installed qern_native, run by the interpreter of the environment it was
installed into, from a directory outside the source tree.

Usage: python -I smoke.py VERSION
"""

import ast
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path

version = sys.argv[1]
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def ok(what):
    print(f"smoke: ok   {what}")


import qern_native  # noqa: E402
from qern_native import QERN  # noqa: E402

site = Path(sysconfig.get_path("platlib"))
module = Path(qern_native.__file__)
assert module.parent == site, f"imported {module}, not the copy in {site}"
assert qern_native.__version__ == version, qern_native.__version__
ok(f"import qern_native {qern_native.__version__} from {module}")

cfg = QERN.parse("host = localhost\nport = 8080\nports = [8080, 8081]\n@type port_t = i32\n")
assert cfg.find_obj("host") == "localhost"
assert cfg.find_obj("localhost") == "host"
assert cfg.find_key("8080") == "port"
assert cfg.find_list("ports") == ["8080", "8081"]
assert cfg.find_obj("missing") is None
assert cfg.to_dict() == {"host": "localhost", "port": "8080", "ports": "[8080, 8081]"}, cfg.to_dict()
assert len(cfg) == 3 and "port" in cfg and cfg["port"] == "8080"
ok("parse and lookups")

assert cfg.validate_value("port_t", "8080") is None
try:
    cfg.validate_value("port_t", "x")
except RuntimeError as e:
    expected = "Invalid type 'port_t': Invalid value: Expected i32, got 'x'"
    assert str(e) == expected, repr(str(e))
else:
    raise AssertionError("validate_value accepted 'x' as an i32")
ok("validation, and the text of its error")

stub = site / "qern_native-stubs" / "__init__.pyi"
assert stub.is_file(), f"no {stub}"
tree = ast.parse(stub.read_text(encoding="utf-8"), str(stub))
classes = {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
assert "QERN" in classes, classes
ok(f"stub {stub.relative_to(site)}")

if free_threaded:
    assert not sys._is_gil_enabled(), "importing qern_native enabled the GIL"
    results = {}

    def parse_own(n):
        text = "".join(f"key_{n}_{i} = value {i}\n" for i in range(20_000))
        results[n] = len(QERN.parse(text).to_dict())

    threads = [threading.Thread(target=parse_own, args=(n,)) for n in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {0: 20_000, 1: 20_000}, results
    assert not sys._is_gil_enabled()
    ok("the GIL stays disabled after import and during two parsing threads")

qern = Path(sysconfig.get_path("scripts")) / "qern"
if qern.exists():
    run = subprocess.run([str(qern), "--version"], capture_output=True, text=True, timeout=60)
    output = (run.stdout + run.stderr).strip()
    assert run.returncode == 0, f"qern --version exited with {run.returncode}: {output}"
    assert version in output, f"qern --version printed {output!r}, without {version}"
    ok(f"qern --version: {output}")
else:
    print(f"smoke: skip qern --version: the wheel installs no {qern.name} executable")

print(f"smoke: passed on Python {sys.version.split()[0]}"
      f"{' (free-threaded)' if free_threaded else ''} in {sys.prefix}")
