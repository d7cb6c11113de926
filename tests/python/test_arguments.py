import pytest

from qern_native import QERN

# Each method with parameters, its parameters, and arguments that make a successful call.
METHODS = [
    ("parse", ("content",), ("a = 1",)),
    ("load", ("path",), None),
    ("merge_content", ("content",), ("b = 2",)),
    ("merge_file", ("path",), None),
    ("find_obj", ("key",), ("host",)),
    ("find_key", ("value",), ("localhost",)),
    ("find_deep", ("key",), ("alias",)),
    ("find_list", ("key",), ("ports",)),
    ("find_object", ("key",), ("origin",)),
    ("validate_value", ("type_name", "value"), ("i32", "42")),
]
IDS = [m[0] for m in METHODS]


def quoted(names):
    return " and ".join(f"'{n}'" for n in names)


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


def bound(cfg, name):
    return getattr(QERN if name in ("parse", "load") else cfg, name)


@pytest.mark.parametrize("name, params, good", METHODS, ids=IDS)
def test_missing_arguments(cfg, name, params, good):
    noun = "argument" if len(params) == 1 else "arguments"
    assert type_error(lambda: bound(cfg, name)()) == (
        f"QERN.{name}() missing {len(params)} required positional {noun}: {quoted(params)}"
    )
    if len(params) == 2:
        assert type_error(lambda: bound(cfg, name)(type_name="i32")) == (
            f"QERN.{name}() missing 1 required positional argument: 'value'"
        )


@pytest.mark.parametrize("name, params, good", METHODS, ids=IDS)
def test_too_many_positional(cfg, name, params, good):
    extra = ("x",) * (len(params) + 1)
    assert type_error(lambda: bound(cfg, name)(*extra)) == (
        f"QERN.{name}() takes {len(params)} positional arguments but {len(extra)} were given"
    )


@pytest.mark.parametrize("name, params, good", METHODS, ids=IDS)
def test_unknown_and_duplicate_keywords(cfg, name, params, good):
    args = ("x",) * len(params)
    assert type_error(lambda: bound(cfg, name)(*args, bogus="x")) == (
        f"QERN.{name}() got an unexpected keyword argument 'bogus'"
    )
    assert type_error(lambda: bound(cfg, name)(*args, **{params[0]: "x"})) == (
        f"QERN.{name}() got multiple values for argument '{params[0]}'"
    )


@pytest.mark.parametrize("bad, shown", [(1, "'int' object"), (b"x", "'bytes' object"),
                                        (None, "'None'")])
@pytest.mark.parametrize("name, params, good", METHODS, ids=IDS)
def test_non_str_arguments(cfg, name, params, good, bad, shown):
    for position, param in enumerate(params):
        args = ["x"] * len(params)
        args[position] = bad
        with pytest.raises(TypeError) as info:
            bound(cfg, name)(*args)
        assert str(info.value) == f"argument '{param}': {shown} is not an instance of 'str'"
        assert type(info.value.__cause__) is TypeError
        assert str(info.value.__cause__) == f"{shown} is not an instance of 'str'"


def test_the_first_bad_argument_is_reported(cfg):
    assert type_error(lambda: cfg.validate_value(1, 2)).startswith("argument 'type_name'")


def test_qualified_type_name_in_message(cfg):
    class Outer:
        class Inner:
            pass

    assert type_error(lambda: cfg.find_obj(Outer.Inner())) == (
        "argument 'key': 'test_qualified_type_name_in_message.<locals>.Outer.Inner' "
        "object is not an instance of 'str'"
    )


@pytest.mark.parametrize("name, params, good", METHODS, ids=IDS)
def test_lone_surrogates_keep_the_encoding_error(cfg, name, params, good):
    with pytest.raises(UnicodeEncodeError):
        bound(cfg, name)(*["\ud800"] * len(params))


def test_keywords_work_like_positions(cfg):
    assert cfg.find_obj(key="host") == cfg.find_obj("host") == "localhost"
    assert cfg.find_key(value="localhost") == "host"
    cfg.validate_value(value="42", type_name="i32")
    cfg.merge_content(content="k = v")
    assert QERN.parse(content="a = 1")["a"] == "1"
    assert cfg.parse("a = 2")["a"] == "2"  # a static method is reachable from instances
    assert cfg.find_obj("k") == "v"


def test_str_subclasses_are_accepted(cfg):
    class Name(str):
        pass

    assert cfg.find_obj(Name("host")) == "localhost"
    assert Name("port") in cfg


def test_no_argument_methods(cfg):
    assert type_error(lambda: cfg.keys(1)) == "QERN.keys() takes no arguments (1 given)"
    assert type_error(lambda: cfg.to_dict(x=1)) == "QERN.to_dict() takes no keyword arguments"


@pytest.mark.parametrize("operation", [lambda c, k: k in c, lambda c, k: c[k]])
def test_slots_name_their_argument_key(cfg, operation):
    assert type_error(lambda: operation(cfg, 5)) == (
        "argument 'key': 'int' object is not an instance of 'str'"
    )
    with pytest.raises(UnicodeEncodeError):
        operation(cfg, "\udfff")
