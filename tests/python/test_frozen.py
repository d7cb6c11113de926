"""FrozenQERN: an immutable snapshot that is a Mapping, answers QERN's lookups, crosses
threads and pickles."""

import collections.abc
import copy
import gc
import os
import pickle
import subprocess
import sys
import threading
import time
import weakref

import pytest

import qern_native
from conftest import FREE_THREADED, SAMPLE, THREAD_TIMEOUT, run_in_thread
from qern_native import QERN, FrozenQERN

DOC = """\
z = 1
host = localhost
alias = host
back = alias
@schema Net { port: i32, ports: list<i32>, origin: Point }
@schema Point { x: f64, y: f64 }
port = 8080
ports = [8080, 8081]
origin = { x = 0, y: 1.5 }
twin1 = same
twin2 = same
z = 2
"""


@pytest.fixture
def doc():
    return QERN.parse(DOC)


@pytest.fixture
def fz(doc):
    return doc.freeze()


def test_a_mapping_in_first_assignment_order(fz):
    assert isinstance(fz, collections.abc.Mapping) and type(fz) is FrozenQERN
    order = ["z", "host", "alias", "back", "port", "ports", "origin", "twin1", "twin2"]
    assert list(fz) == order and len(fz) == 9
    assert isinstance(fz.keys(), collections.abc.KeysView) and list(fz.keys()) == order
    assert list(fz.values())[:3] == ["2", "localhost", "host"]
    assert list(fz.items())[-1] == ("twin2", "same")
    assert fz.keys() & {"z", "nope"} == {"z"} and ("z", "2") in fz.items()
    assert dict(fz) == fz.to_dict() and list(fz.to_dict()) == order
    assert repr(fz) == "FrozenQERN(9 keys)"


def test_lookups_are_forward_only_with_python_conventions(fz):
    assert fz["host"] == "localhost" and fz.get("host") == "localhost"
    assert "host" in fz and "localhost" not in fz  # a value is no key here
    with pytest.raises(KeyError) as info:
        fz["localhost"]
    assert info.value.args == ("localhost",)
    assert fz.get("nope") is None and fz.get("nope", 5) == 5
    # Keys that cannot be there: as a dict answers.
    assert fz.get(1) is None and 1 not in fz and fz.get("\ud800") is None
    with pytest.raises(KeyError):
        fz[1]
    with pytest.raises(TypeError, match="unhashable"):
        fz.get([])
    with pytest.raises(TypeError, match="unhashable"):
        [] in fz
    with pytest.raises(TypeError, match="get expected at least 1 argument, got 0"):
        fz.get()
    with pytest.raises(TypeError, match="get expected at most 2 arguments, got 3"):
        fz.get(1, 2, 3)
    assert fz.__getitem__("z") == "2"


def test_every_kind_of_key_str_finds_its_pair():
    # ASCII keys are found by the hash their str keeps; the others by their UTF-8 bytes.
    pairs = {f"key_{i}": str(i) for i in range(200)} | {"caf\u00e9": "1", "\U0001f600": "2"}
    fz = QERN.parse("".join(f"{k} = {v}\n" for k, v in pairs.items())).freeze()

    class Sub(str):
        pass

    for key, value in pairs.items():
        fresh = "".join(list(key))  # a new str, its hash not yet made
        hashed = "".join(list(key))
        hash(hashed)
        for form in (key, fresh, hashed, Sub(key), sys.intern(key)):
            assert fz.get(form) == value and form in fz and fz[form] == value
        assert fz.get(key + "x") is None and fz.find_obj(key) == value


def test_a_snapshot_pickled_under_one_hash_seed_reads_right_under_another(tmp_path):
    fz = QERN.parse("".join(f"k{i} = v{i}\n" for i in range(500)) + "caf\u00e9 = x\n").freeze()
    path = tmp_path / "fz.pickle"
    path.write_bytes(pickle.dumps(fz))
    check = (f"import pickle; fz = pickle.loads(open({str(path)!r}, 'rb').read()); "
             "assert all(fz['k%d' % i] == 'v%d' % i for i in range(500)); "
             "assert fz['caf\\u00e9'] == 'x' and fz.get('k500') is None; print('ok')")
    for seed in ("1", "2"):
        out = subprocess.run([sys.executable, "-c", check], capture_output=True, text=True,
                             env=dict(os.environ, PYTHONHASHSEED=seed), timeout=60)
        assert out.stdout.strip() == "ok", out.stderr


def test_reads_hand_out_one_str_per_value(fz):
    assert fz["host"] is fz.get("host") is fz["host"]
    assert next(v for k, v in fz.items() if k == "host") is fz["host"]
    assert fz.to_dict()["host"] is fz["host"]


def test_the_lookups_answer_as_the_qern_did(doc, fz):
    probes = ["", "nope", "same", "8080", *doc.keys(), *doc.to_dict().values()]
    for p in probes:
        for name in ("find_obj", "find_key", "find_deep", "find_list", "find_object"):
            assert getattr(fz, name)(p) == getattr(doc, name)(p), (name, p)
    assert fz.find_deep("back") == "localhost" and fz.find_key("same") == doc.find_key("same")
    assert fz.to_dict() == doc.to_dict() and fz.to_typed_dict() == doc.to_typed_dict()
    assert fz.to_typed_dict()["origin"] == {"x": 0.0, "y": 1.5}
    assert fz.validate_value("list<i32>", "[1]") is None
    for call in (lambda d: d.validate_value("i32", "x"), lambda d: d.validate_value("Net", "1")):
        with pytest.raises(RuntimeError) as frozen:
            call(fz)
        with pytest.raises(RuntimeError) as original:
            call(doc)
        assert str(frozen.value) == str(original.value)
    with pytest.raises(TypeError, match=r"FrozenQERN.find_obj\(\) missing 1 required"):
        fz.find_obj()
    with pytest.raises(TypeError, match="argument 'key': 'int' object is not an instance"):
        fz.find_deep(1)
    assert fz.find_obj(key="host") == "localhost"


def test_find_key_keeps_the_answer_the_qern_gave_when_frozen():
    doc = QERN.parse("a = x\nb = x\nc = x")
    assert doc.find_key("x") == "c"
    doc.merge_content("a = y\na = x")  # the QERN's answer now depends on this history
    answer = doc.find_key("x")
    fz = doc.freeze()
    doc.merge_content("a = z")
    assert fz.find_key("x") == fz.find_obj("x") == answer
    assert pickle.loads(pickle.dumps(fz)).find_key("x") == answer


def test_the_snapshot_stays_as_it_was(doc, fz):
    before = fz.to_dict()
    doc.merge_content("host = changed\nnew = key\n@schema Net { port: string }")
    assert doc["host"] == "changed" and "new" in doc
    assert fz.to_dict() == before and "new" not in fz
    assert fz.to_typed_dict()["port"] == 8080 and doc.to_typed_dict()["port"] == "8080"
    del doc
    gc.collect()
    assert fz["host"] == "localhost"


def test_class_conventions(fz):
    with pytest.raises(TypeError, match="cannot create 'qern_native.FrozenQERN' instances"):
        FrozenQERN()
    with pytest.raises(TypeError):
        type("Sub", (FrozenQERN,), {})
    with pytest.raises(TypeError):
        weakref.ref(fz)
    with pytest.raises(AttributeError):
        fz.anything = 1
    with pytest.raises(TypeError):
        FrozenQERN.anything = 1  # an immutable type
    with pytest.raises(TypeError, match="unhashable"):
        hash(fz)
    assert copy.copy(fz) is fz and copy.deepcopy(fz) is fz
    assert not gc.is_tracked(fz)
    assert fz == fz.to_dict() and fz.to_dict() == fz and fz != {} and fz == QERN.parse(
        DOC).freeze()
    assert fz != QERN.parse(DOC + "extra = 1").freeze() and (fz == 1) is False
    assert qern_native.__all__ == ["QERN", "__version__"]


NASTY = [
    ("[a = b]", "c"),            # a key with '=' inside brackets
    ('"quoted key"', "v"),        # keys keep their quotes
    ("'open", "x # not a comment"),  # an unclosed quote in the key swallows the line
    ("a#b", "#FF0000"),
    ("caf\u00e9 \u2615", "cr\u00e8me br\u00fbl\u00e9e \U0001f600"),
    ("lead", " leading and trailing blanks "),
    ("quotes", '"kept"'),
    ("mixed", "'\"both\"'"),
    ("empty", ""),
    ("eq", "a = b = c"),
    ("list", "[1, , 2]"),
    ("nul", "a\x00b"),
]


def test_pickle_round_trips_exactly():
    # B declared x first; A, declared again, keeps checking y and comes after B for x.
    doc = QERN.parse(
        "@type port = i32\n@schema B { x: string }\n@schema A { y: i32 }\n"
        "@schema A { x: f64, y: i32, note*: string }\n@schema C { z: list<port> }\n"
        "x = 1.5\nz = [1, 2]\nshared1 = v\nshared2 = v\n[a = b] = c\n\"quoted key\" = v2\n"
        "lead = ' blanks kept '\nquotes = '\"kept\"'\ncaf\u00e9 = cr\u00e8me \U0001f600\n")
    doc.merge_content("shared1 = w\nshared1 = v")
    fz = doc.freeze()
    assert fz.to_typed_dict()["x"] == "1.5" and fz["quotes"] == '"kept"'
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(fz, protocol))
        assert type(back) is FrozenQERN and back == fz and list(back.items()) == list(fz.items())
        assert back.to_typed_dict() == fz.to_typed_dict()
        assert back.find_key("v") == fz.find_key("v") == doc.find_key("v")
        assert back.validate_value("port", "8") is None


def test_pickle_keeps_keys_and_values_no_text_could_hold():
    # Pairs that no QERN text re-parses to: a restored state holds them all the same.
    restore = FrozenQERN.__reduce__(QERN().freeze())[0]
    flat = tuple(x for pair in NASTY for x in pair)
    fz = restore((1, flat, (), (), (), ()))
    assert list(fz.items()) == NASTY
    back = pickle.loads(pickle.dumps(fz))
    assert list(back.items()) == NASTY and back.find_key("") == "empty"


@pytest.mark.parametrize("state, reason", [
    ((2, (), (), (), (), ()), "it is no tuple (1, pairs, types, schemas, owners, answers)"),
    ("state", "it is no tuple (1, pairs, types, schemas, owners, answers)"),
    ((1, ("a",), (), (), (), ()), "its pairs are no tuple of keys and values"),
    ((1, ("a", "1", "a", "2"), (), (), (), ()), "a key comes twice"),
    ((1, ("a", 1), (), (), (), ()), "a value is no str"),
    ((1, (1, "1"), (), (), (), ()), "an item that should be a str is not"),
    ((1, ("a", "1"), (), (), (), (5,)), "an answer names no pair"),
    ((1, (), (("t",),), (), (), ()), "its types are not (name, definition) pairs"),
    ((1, (), (), (("S", (("f", "i32", 1),)),), (), ()), "a field is no (name, type, optional)"),
])
def test_a_damaged_state_is_refused(state, reason):
    restore = FrozenQERN.__reduce__(QERN().freeze())[0]
    with pytest.raises(ValueError) as info:
        restore(state)
    assert str(info.value) == f"not a FrozenQERN state: {reason}"


def test_dropped_on_any_thread_without_a_report():
    reports = []
    hook, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        made, error = run_in_thread(lambda: QERN.parse(SAMPLE).freeze())
        assert error is None and made["host"] == "localhost"  # its maker has ended
        del made
        holder = [QERN.parse(SAMPLE).freeze()]
        _, error = run_in_thread(holder.clear)
        assert error is None and holder == []
        gc.collect()
    finally:
        sys.unraisablehook = hook
    assert reports == []


READERS = 8


def test_eight_threads_read_one_snapshot_while_the_qern_is_merged():
    base = "".join(f"k{i} = v{i}\n" for i in range(2000))
    doc = QERN.parse(base + "@schema S { n: i32, xs: list<f64> }\nn = 7\nxs = [1, 2.5]\n")
    fz = doc.freeze()
    expected = {f"k{i}": f"v{i}" for i in range(2000)} | {"n": "7", "xs": "[1, 2.5]"}
    typed = fz.to_typed_dict()
    stop = threading.Event()
    failures, rounds = [], []

    def read(n):
        count = 0
        try:
            while not stop.is_set() or count < 3:
                for i in range(n, 2000, 97):
                    assert fz[f"k{i}"] == f"v{i}" and fz.get(f"k{i}") == f"v{i}"
                    assert fz.find_key(f"v{i}") == f"k{i}" and f"k{i}" in fz
                assert fz.find_deep("k5") == "v5" and fz.find_list("xs") == ["1", "2.5"]
                assert len(fz) == 2002 and list(fz)[-2:] == ["n", "xs"]
                if count % 10 == 0:
                    assert fz.to_dict() == expected and fz.to_typed_dict() == typed
                count += 1
        except BaseException as exc:  # reported below, with its traceback dropped
            failures.append(exc.with_traceback(None))
        rounds.append(count)

    readers = [threading.Thread(target=read, args=(n,)) for n in range(READERS)]
    for r in readers:
        r.start()
    deadline = time.monotonic() + 1.0
    r = 0
    while time.monotonic() < deadline or r < 50:
        doc.merge_content(f"k{r % 2000} = changed{r}\nn = {r}\nnew{r} = x")
        r += 1
    stop.set()
    for t in readers:
        t.join(THREAD_TIMEOUT)
    assert not any(t.is_alive() for t in readers)
    assert failures == [] and len(rounds) == READERS
    assert doc["n"] == str(r - 1) and fz["n"] == "7"


def test_one_iterator_shared_by_threads_hands_out_each_key_once():
    fz = QERN.parse("".join(f"k{i} = {i}\n" for i in range(20000))).freeze()
    it = iter(fz)
    seen = [[] for _ in range(4)]

    def drain(n):
        for key in it:
            seen[n].append(key)

    threads = [threading.Thread(target=drain, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(THREAD_TIMEOUT)
    everything = [k for part in seen for k in part]
    assert len(everything) == 20000 and set(everything) == set(fz)
    assert list(it) == []


@pytest.mark.skipif(not FREE_THREADED, reason="threads run in parallel on the free-threaded build")
def test_readers_run_in_parallel_with_a_parse():
    fz = QERN.parse(SAMPLE).freeze()
    text = "".join(f"key_{i} = value {i}\n" for i in range(200_000))
    reads = [0]
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            assert fz["port"] == "8080"
            reads[0] += 1

    t = threading.Thread(target=reader)
    t.start()
    try:
        QERN.parse(text).freeze()
    finally:
        stop.set()
        t.join(THREAD_TIMEOUT)
    assert reads[0] > 0
