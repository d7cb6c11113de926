import gc
import inspect
import subprocess
import sys
import weakref

import pytest

import qern_native
from qern_native import QERN


def test_module_exports():
    assert qern_native.__all__ == ["QERN", "__version__"]
    # An attribute beside them, which __all__ does not list.
    assert qern_native.FrozenQERN.__module__ == "qern_native"
    assert qern_native.__version__ == "1.4.0"
    assert qern_native.__doc__.split("\n\n")[1] == "In Python: `from qern_native import QERN`"


def test_class_identity_and_docs():
    assert (QERN.__module__, QERN.__name__, QERN.__qualname__) == ("builtins", "QERN", "QERN")
    assert QERN.__text_signature__ == "()"
    assert QERN.__doc__ == (
        "Python-facing wrapper around the `QERN` parser.\n\n"
        "All methods that can fail raise `RuntimeError` with a descriptive message."
    )
    assert QERN.__bases__ == (object,)


METHOD_SIGNATURES = {
    "parse": "(content)",
    "load": "(path)",
    "merge_content": "(self, /, content)",
    "merge_file": "(self, /, path)",
    "find_obj": "(self, /, key)",
    "find_key": "(self, /, value)",
    "find_deep": "(self, /, key)",
    "find_list": "(self, /, key)",
    "find_object": "(self, /, key)",
    "keys": "(self, /)",
    "to_dict": "(self, /)",
    "validate_value": "(self, /, type_name, value)",
    "to_typed_dict": "(self, /)",
    "freeze": "(self, /)",
}


def test_method_table_order_and_signatures():
    names = [n for n in vars(QERN) if not n.startswith("__")]
    assert names == list(METHOD_SIGNATURES)
    for name, signature in METHOD_SIGNATURES.items():
        assert str(inspect.signature(getattr(QERN, name))) == signature, name
    assert isinstance(vars(QERN)["parse"], staticmethod)


def test_docstrings_keep_their_example_blocks():
    assert QERN.parse.__doc__ == (
        "Parse an QERN string and return a new instance.\n\n"
        '```python\ncfg = QERN.parse("host = localhost\\nport = 8080")\n```'
    )
    assert QERN.load.__doc__.endswith('```python\ncfg = QERN.load("config.qrn")\n```')
    assert QERN.find_deep.__doc__ == (
        "Deep lookup: follow key\u2192value\u2192key chains until a terminal or cycle."
    )


def test_empty_instance():
    cfg = QERN()
    assert len(cfg) == 0
    assert repr(cfg) == str(cfg) == "QERN(0 keys)"
    assert cfg.keys() == [] and cfg.to_dict() == {}


def test_repr_keeps_the_plural():
    assert repr(QERN.parse("a = 1")) == "QERN(1 keys)"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "QERN.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "QERN.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "QERN.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        QERN(*args, **kwargs)
    assert str(info.value) == message


def test_class_shape():
    with pytest.raises(TypeError):
        type("Sub", (QERN,), {})
    cfg = QERN()
    with pytest.raises(AttributeError):
        cfg.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(cfg)
    with pytest.raises(TypeError):
        iter(cfg)
    assert not gc.is_tracked(cfg)
    assert hash(cfg) == object.__hash__(cfg)
    assert cfg != QERN()
    QERN.extra_attribute = 1  # the type is not frozen
    del QERN.extra_attribute


def test_a_second_module_object_shares_the_class(monkeypatch):
    import importlib
    import sys

    monkeypatch.delitem(sys.modules, "qern_native")
    fresh = importlib.import_module("qern_native")
    assert fresh is not qern_native
    assert fresh.QERN is QERN
    assert fresh.__all__ == ["QERN", "__version__"]


SUBINTERPRETER = """
try:
    import _interpreters
    iid = _interpreters.create(_interpreters.new_config("legacy"))
    failure = _interpreters.run_string(iid, "import qern_native")
    print(failure.type.__name__, failure.msg)
except ImportError:
    import _xxsubinterpreters
    iid = _xxsubinterpreters.create()
    try:
        _xxsubinterpreters.run_string(iid, "import qern_native")
    except Exception as e:
        print(str(e).replace("<class 'ImportError'>:", "ImportError"))
"""


def test_only_the_main_interpreter_imports_the_module():
    # Its class is shared by the whole process, so no other interpreter may see it.
    run = subprocess.run([sys.executable, "-c", SUBINTERPRETER], capture_output=True,
                         text=True, timeout=60)
    assert run.stdout.strip() == (
        "ImportError qern_native can only be imported by the main interpreter"
    ), run.stderr
