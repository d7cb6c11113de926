#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment of PYTHON, imports it from
# outside the source tree, and checks that the shipped stub matches the module.
# Usage: tests/python/check_install.sh PYTHON   (works offline)
set -euo pipefail
py=${1:?usage: check_install.sh PYTHON}
root=$(cd "$(dirname "$0")/../.." && pwd)

if ! "$py" -c 'import scikit_build_core, pip' 2>/dev/null; then
    echo "check_install: $py has no scikit-build-core or pip to build with" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$py" -m venv --without-pip --system-site-packages "$work/venv"
venv_py=$work/venv/bin/python

(cd "$root" && "$venv_py" -m pip install --quiet --no-index --no-build-isolation .)

cd "$work"
"$venv_py" - <<'PY'
import ast
import inspect
import pathlib
import sys
import sysconfig
import threading

import qern_native
from qern_native import QERN

assert "site-packages" in qern_native.__file__, qern_native.__file__
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    # The module declares that it does not need the GIL: importing it keeps it off.
    assert not sys._is_gil_enabled(), "importing qern_native enabled the GIL"
cfg = QERN.parse("host = localhost\nports = [1, 2]\n@type port_t = i32")
assert cfg.find_obj("host") == "localhost" and cfg.find_obj("localhost") == "host"
assert cfg.find_list("ports") == ["1", "2"]
cfg.validate_value("port_t", "8080")
try:
    cfg.validate_value("port_t", "x")
except RuntimeError as e:
    assert str(e) == "Invalid type 'port_t': Invalid value: Expected i32, got 'x'", e
else:
    raise AssertionError("no error")
errors = []


def from_another_thread():
    try:
        cfg.keys()
    except BaseException as e:
        errors.append(type(e).__name__)


t = threading.Thread(target=from_another_thread)
t.start()
t.join(30)
assert errors == ["PanicException"], errors

# The stub package is installed beside the module, as type checkers look for it.
stub = next(pathlib.Path(p) / "qern_native-stubs" / "__init__.pyi" for p in sys.path
            if (pathlib.Path(p) / "qern_native-stubs" / "__init__.pyi").is_file())
tree = ast.parse(stub.read_text())
namespace = {}
exec(compile(tree, str(stub), "exec"), namespace)
assert namespace["__all__"] == qern_native.__all__, namespace["__all__"]
stub_class = namespace["QERN"]


def shape(fn):
    """Parameter names and whether each may be passed by keyword."""
    return [(p.name, p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) or p.name == "self")
            for p in inspect.signature(fn).parameters.values()]


public = [n for n in vars(QERN) if not n.startswith("_")]
stubbed = [n for n in vars(stub_class) if not n.startswith("_")]
assert public == stubbed, (public, stubbed)
for name in public:
    assert shape(getattr(QERN, name)) == shape(getattr(stub_class, name)), name
    assert isinstance(vars(QERN)[name], staticmethod) == isinstance(
        vars(stub_class)[name], staticmethod), name
for dunder in ("__len__", "__contains__", "__getitem__", "__repr__"):
    assert hasattr(QERN, dunder), dunder
for dunder in ("__len__", "__contains__", "__getitem__"):
    assert dunder in vars(stub_class), dunder
assert list(inspect.signature(QERN).parameters) == list(
    inspect.signature(stub_class.__new__).parameters)[1:]
# The snapshot class: an attribute beside __all__, stubbed method for method.
frozen, stub_frozen = qern_native.FrozenQERN, namespace["FrozenQERN"]
public = sorted(n for n in vars(frozen) if not n.startswith("_"))
assert public == sorted(n for n in vars(stub_frozen) if not n.startswith("_")), public

def last_definition_shape(cls_name, name):
    """shape() of the last `def name` in the stub's class: an overloaded method (get) has
    no function of its own at run time."""
    body = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls_name).body
    fn = [n for n in body if isinstance(n, ast.FunctionDef) and n.name == name][-1]
    return ([(a.arg, a.arg == "self") for a in fn.args.posonlyargs]
            + [(a.arg, True) for a in fn.args.args + fn.args.kwonlyargs])


for name in public:
    assert shape(getattr(frozen, name)) == last_definition_shape("FrozenQERN", name), name
assert "freeze" in vars(stub_class) and "to_typed_dict" in vars(stub_class)
# The checker and its result types.
assert shape(qern_native.check) == shape(namespace["check"])
assert [p.kind for p in inspect.signature(qern_native.check).parameters.values()] == [
    p.kind for p in inspect.signature(namespace["check"]).parameters.values()]
for result in ("Diagnostic", "Hint"):
    assert (getattr(qern_native, result).__match_args__ ==
            namespace[result].__match_args__), result
print(f"check_install: {stub} matches qern_native {qern_native.__version__} "
      f"on Python {sys.version.split()[0]}"
      + (" (free-threaded, GIL off)" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))
PY
# The command comes with the package, on the environment's PATH.
version=$("$work/venv/bin/qern" --version)
[ "$version" = "qern 1.4.0" ] || { echo "check_install: qern --version said '$version'" >&2; exit 1; }
echo "check_install: $work/venv/bin/qern --version: $version"
