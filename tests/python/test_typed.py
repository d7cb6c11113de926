"""to_typed_dict: each value of a key that a schema declares becomes its type's Python value."""

import datetime as dt
import math

import pytest

from qern_native import QERN

UTC = dt.timezone.utc


def typed(type_name, value, declarations=""):
    """The Python value of `value` declared as `type_name` (through a schema field)."""
    doc = QERN.parse(f"{declarations}\n@schema T {{ k: {type_name} }}\nk = {value}")
    return doc.to_typed_dict()["k"]


def refused(type_name, value, declarations=""):
    """The ValueError of a value stored before the schema that declares it."""
    doc = QERN.parse(f"k = {value}\n{declarations}\n@schema T {{ k: {type_name} }}")
    with pytest.raises(ValueError) as info:
        doc.to_typed_dict()
    error = info.value
    assert (error.key, error.value, error.type_name) == ("k", doc["k"], type_name)
    prefix = f"Cannot convert key 'k' (type '{type_name}') = '{doc['k']}': "
    assert str(error).startswith(prefix), str(error)
    return str(error)[len(prefix):]


# (type, text, value): the Python type of each depends on the declared type only.
TABLE = [
    ("i32", "42", 42),
    ("i32", "-2147483648", -2147483648),
    ("f64", "1", 1.0),
    ("f64", "-1e-3", -0.001),
    ("bool", "TRUE", True),
    ("bool", "0", False),
    ("string", "'quoted'", "quoted"),
    ("string", "8080", "8080"),
    ("color", "#A1b2C3", "#A1b2C3"),
    ("list<i32>", "[1, 2]", [1, 2]),
    ("list<f64>", "[1, 2]", [1.0, 2.0]),
    ("list<string>", "['a', b]", ["'a'", "b"]),  # items as find_list gives them
    ("list<list<bool>>", "[[1], [0, true]]", [[True], [False, True]]),
    ("time::datetime", "2024-05-01", dt.date(2024, 5, 1)),
    ("time::datetime", "2024-05-01T12:30", dt.datetime(2024, 5, 1, 12, 30)),
    ("time::datetime", "2024-05-01 12:30:45.25Z",
     dt.datetime(2024, 5, 1, 12, 30, 45, 250000, tzinfo=UTC)),
    ("time::datetime", "2024-05-01T12:30-07:30",
     dt.datetime(2024, 5, 1, 12, 30, tzinfo=dt.timezone(-dt.timedelta(hours=7, minutes=30)))),
    ("time::duration", "P1W2DT3H4M5.5S", dt.timedelta(days=9, hours=3, minutes=4, seconds=5.5)),
    ("time::duration", "PT0.5H", dt.timedelta(minutes=30)),
    ("time::duration", "3600", dt.timedelta(hours=1)),
    ("time::duration", "-1.5", dt.timedelta(seconds=-1.5)),
    ("time::year", "2024", 2024.0),
    ("time::day", "1.5", 1.5),
    ("time::hour", "25", 25.0),
    ("time::minute", "-1", -1.0),
    ("math::vector2", "1, 2", (1.0, 2.0)),
    ("math::vector3", "1, 2, 3e2", (1.0, 2.0, 300.0)),
    ("math::vector4", "1,2,3,4", (1.0, 2.0, 3.0, 4.0)),
    ("math::quaternion", "0,0,0,1", (0.0, 0.0, 0.0, 1.0)),
    ("math::matrix3x3", "1,0,0,0,1,0,0,0,1", ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))),
    ("math::matrix4x4", ",".join(map(str, range(16))),
     tuple(tuple(float(4 * r + c) for c in range(4)) for r in range(4))),
    ("physics::bit", "8", 8),
    ("physics::byte", "1024", 1024),
    ("physics::baud", "9600", 9600),
    ("physics::meter", "2", 2.0),
    ("physics::nautical_mile", "1.5", 1.5),
]


@pytest.mark.parametrize("type_name, text, value", TABLE, ids=[f"{t}={v}" for t, v, _ in TABLE])
def test_the_table(type_name, text, value):
    got = typed(type_name, text)
    assert got == value and type(got) is type(value)
    if isinstance(value, (list, tuple)):
        for inner, expected in zip(got, value):
            assert type(inner) is type(expected)
    if isinstance(value, dt.datetime):
        assert got.tzinfo == value.tzinfo


def test_floats_keep_inf_and_nan():
    assert typed("f64", "-INF") == float("-inf")
    nan = typed("f64", "nan")
    assert type(nan) is float and nan != nan
    assert typed("f64", "1e400") == float("inf") and typed("f64", "1e-400") == 0.0


def test_schema_objects_become_dicts_of_their_fields():
    declarations = "@schema Point { x: f64, y: f64, label*: string }"
    assert typed("Point", "{ y = 2, x: 1, note = 'kept as text' }", declarations) == {
        "y": 2.0, "x": 1.0, "note": "kept as text"}
    got = typed("list<Point>", "[{x = 0, y = 0}, {x = 1, y = 1, x = 2}]", declarations)
    assert got == [{"x": 0.0, "y": 0.0}, {"x": 2.0, "y": 1.0}]
    assert list(got[1]) == ["x", "y"]  # a repeated field keeps its first place


def test_lists_of_objects_follow_their_latest_value():
    doc = QERN.parse("@schema P { x: i32, y*: string }\n@schema S { ps: list<P> }\n"
                     "ps = [{x = 1, y = 'a b'}, {x = 2, y = \"c\"}]")
    assert doc.to_typed_dict()["ps"] == [{"x": 1, "y": "a b"}, {"x": 2, "y": "c"}]
    # Shorter text, stored where the old value stood, while no schema checks it.
    doc.merge_content("@schema S { other*: i32 }\nps = [{y = z, x = 30}]\n@schema T { ps: list<P> }")
    assert doc.to_typed_dict()["ps"] == [{"y": "z", "x": 30}]
    doc.merge_content("ps = [{x = 4}, {x = 5, x = 6}]")
    assert doc.to_typed_dict()["ps"] == [{"x": 4}, {"x": 6}]
    assert doc.freeze().to_typed_dict() == doc.to_typed_dict()


def test_aliases_convert_as_their_targets():
    declarations = "@type port = i32\n@type where = math::vector2\n@type i32 = bool"
    assert typed("port", "8080", declarations) == 8080
    assert typed("where", "1, 2", declarations) == (1.0, 2.0)
    assert typed("i32", "true", declarations) is True  # an alias shadows a built-in name


REFUSED = [
    ("i32", "four", "'four' is not an i32"),
    ("i32", "2147483648", "'2147483648' is not an i32"),
    ("f64", "1,5", "'1,5' is not a number"),
    ("bool", "yes", "'yes' is not a bool (true, false, 1 or 0)"),
    ("color", "#12345", "'#12345' is not a color (#RRGGBB or #RRGGBBAA)"),
    ("list<i32>", "[1, x]", "item 2: 'x' is not an i32"),
    ("list<i32>", "1, 2", "'1, 2' is not a list literal [item, ...]"),
    ("time::datetime", "2024-13-45", "month 13 is out of range (01 to 12)"),
    ("time::datetime", "2023-02-29", "day 29 is out of range for 2023-02 (01 to 28)"),
    ("time::datetime", "2024-01-01T24:00", "hour 24 is out of range (00 to 23)"),
    ("time::datetime", "2024-01-01xyz",
     "'2024-01-01xyz' is not an ISO 8601 date (YYYY-MM-DD) or date and time "
     "(YYYY-MM-DDTHH:MM[:SS[.f]][Z|+HH:MM|-HH:MM])"),
    ("time::duration", "P1Y", "'P1Y' counts years or months, which have no fixed length"),
    ("time::duration", "P1M", "'P1M' counts years or months, which have no fixed length"),
    ("time::duration", "Pxyz",
     "'Pxyz' is not an ISO 8601 duration (P[nW][nD][T[nH][nM][nS]]) or a number of seconds"),
    ("time::duration", "inf", "'inf' is not a finite number of seconds"),
    ("time::duration", "P1000000000D", "'P1000000000D' is out of range (at most 999999999 days)"),
    ("time::hour", "abc", "'abc' is not a number"),
    ("math::vector3", "1, 2", "'1, 2' holds 2 numbers, not 3"),
    ("math::vector3", "[1, 2, 3]", "'[1' is not a number"),
    ("physics::byte", "1.5", "'1.5' is not an i32"),
    ("physics::meter", "5m", "'5m' is not a number"),
    ("nosuch", "1", "type 'nosuch' names no type"),
]


@pytest.mark.parametrize("type_name, text, reason", REFUSED,
                         ids=[f"{t}={v}" for t, v, _ in REFUSED])
def test_values_the_conversion_refuses(type_name, text, reason):
    assert refused(type_name, text) == reason


def test_refusals_inside_objects_and_aliases():
    declarations = "@schema Point { x: f64, y: f64 }\n@type ids = list<i32>"
    assert refused("Point", "{ x = 1 }", declarations) == "field 'y' of schema 'Point' is missing"
    assert refused("list<Point>", "[{x = 1, y = 1}, {x = a, y = 1}]", declarations) == (
        "item 2: field 'x': 'a' is not a number")
    assert refused("ids", "[1]", declarations) == (
        "its type is an alias of 'list<i32>', which names no built-in type")


def test_the_validator_rejects_what_it_checks_first():
    # Assigned after the schema, a bad value never gets stored: the merge fails.
    with pytest.raises(RuntimeError, match="Expected i32"):
        QERN.parse("@schema T { k: i32 }\nk = four")
    # The datetime check reads only the date's shape: the conversion is stricter.
    doc = QERN.parse("@schema T { k: time::datetime }\nk = 2024-13-45")
    with pytest.raises(ValueError, match="month 13 is out of range"):
        doc.to_typed_dict()


def test_document_order_and_undeclared_keys():
    doc = QERN.parse("b = 1\n@schema S { port: i32 }\nname = web\nport = 80\nb = 2\nport = 81")
    assert doc.to_typed_dict() == {"b": "2", "name": "web", "port": 81}
    assert list(doc.to_typed_dict()) == ["b", "name", "port"]
    assert QERN().to_typed_dict() == {}
    # The schema that declared a field first decides its type.
    assert QERN.parse("@schema A { p: i32 }\n@schema B { p: string }\np = 1").to_typed_dict() == {
        "p": 1}
    assert QERN.parse("@schema B { p: string }\n@schema A { p: i32 }\np = 1").to_typed_dict() == {
        "p": "1"}


def test_each_call_makes_new_objects():
    doc = QERN.parse("@schema S { xs: list<i32> }\nxs = [1, 2]")
    first, second = doc.to_typed_dict(), doc.to_typed_dict()
    assert first == second and first["xs"] is not second["xs"]
    first["xs"].append(3)
    assert doc.to_typed_dict()["xs"] == [1, 2]


def test_equal_numbers_may_be_shared_but_never_mixed_up():
    # Past the first numbers of a call, equal numbers are shared. Numbers that fall in one
    # kept slot, and floats equal but for their sign, stay apart.
    filler = list(range(100, 200))
    ints = filler + [1, 1025, 1, -1023, 2**31 - 1, 1 - 2**31, 1025, 2049]
    got = typed("list<i32>", "[" + ", ".join(map(str, ints)) + "]")
    assert got == ints and all(type(n) is int for n in got)
    assert got[100] is got[102]
    signed = "0.0, -0.0, 0, -0, 1e-400, -1e-400"
    zeros = typed("list<f64>", "[" + ", ".join(map(str, filler)) + ", " + signed + "]")
    assert [math.copysign(1, z) for z in zeros[100:]] == [1, -1, 1, -1, 1, -1]
    floats = [i / 4 for i in range(4000)] + [i / 4 for i in range(4000)]
    assert typed("list<f64>", "[" + ", ".join(map(repr, floats)) + "]") == floats
