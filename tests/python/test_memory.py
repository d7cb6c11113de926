import gc
import os
import subprocess
import sys
import tracemalloc

import pytest

from conftest import FREE_THREADED, INSTANCE_CALLS, SAMPLE, SAMPLE_FILE, SANITIZED
from qern_native import QERN

CALLS = {
    "QERN": lambda c: QERN(),
    "parse": lambda c: QERN.parse(SAMPLE),
    "load": lambda c: QERN.load(SAMPLE_FILE),
    **INSTANCE_CALLS,
}


def swallow(call):
    def run(c):
        try:
            call(c)
        except (TypeError, RuntimeError, UnicodeEncodeError):
            pass

    return run


FAILING_CALLS = {
    "missing file": swallow(lambda c: QERN.load("/nonexistent/x.qrn")),
    "parse error": swallow(lambda c: QERN.parse("a = 1\nbroken")),
    "invalid value": swallow(lambda c: c.validate_value("i32", "x")),
    "subscript miss": swallow(lambda c: c["absent"]),
    "non-str": swallow(lambda c: c.find_obj(1)),
    "surrogate": swallow(lambda c: c.find_obj("\ud800")),
    "bad keyword": swallow(lambda c: c.find_obj(nope="x")),
}

COUNT = 10_000 if SANITIZED else 100_000


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("call", {**CALLS, **FAILING_CALLS}.values(),
                         ids={**CALLS, **FAILING_CALLS}.keys())
def test_many_calls_leave_memory_flat(call):
    cfg = QERN.parse(SAMPLE)
    for _ in range(1000):
        call(cfg)
    gc.collect()
    rss_before = rss_bytes()
    tracemalloc.start()
    try:
        for _ in range(2000):
            call(cfg)
        traced_before, _ = tracemalloc.get_traced_memory()
        for _ in range(10_000):
            call(cfg)
        traced_after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    for _ in range(COUNT):
        call(cfg)
    gc.collect()
    # A Python object kept per call would be at least 10_000 * 32 bytes.
    assert traced_after - traced_before < 160_000
    if not SANITIZED:
        assert rss_bytes() - rss_before < 8 * 1024 * 1024


@pytest.mark.skipif(FREE_THREADED, reason="type and str reference counts are deferred there")
def test_arguments_and_the_class_keep_their_reference_counts():
    cfg = QERN.parse(SAMPLE)
    key = "".join(["ho", "st"])
    before = (sys.getrefcount(key), sys.getrefcount(QERN))
    for _ in range(1000):
        cfg.find_obj(key)
        cfg.find_obj(key=key)
        key in cfg
        cfg[key]
        try:
            cfg.validate_value(key, key)
        except RuntimeError:
            pass
        QERN.parse(SAMPLE)
    assert (sys.getrefcount(key), sys.getrefcount(QERN)) == before


@pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/statm"),
                    reason="needs /proc and the plain allocator")
def test_instances_are_freed_when_the_last_reference_goes():
    gc.collect()
    before = rss_bytes()
    for _ in range(20):
        # Instances in reference cycles go with the collector's pass.
        batch = [QERN.parse("\n".join(f"k{i} = {'v' * 200}{i}" for i in range(2000)))
                 for _ in range(5)]
        batch.append(batch)
        del batch
        gc.collect()
    assert rss_bytes() - before < 32 * 1024 * 1024


def run_child(script, *args):
    run = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    return run.stdout.split()


# Prints how much the resident set grew, in KiB, while each text was merged into a
# one-key document (the text itself exists before the measurement starts).
MERGE_GROWTH = """
import gc, os, sys
from qern_native import QERN

def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

for text in ("#\\n" * 4_000_000, "\\n" * 8_000_000, "  # a = b\\n" * 1_000_000):
    cfg = QERN.parse("only = key")
    gc.collect()
    before = rss_kib()
    cfg.merge_content(text)
    print(rss_kib() - before, len(cfg))
    del cfg, text
"""


@pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/statm"),
                    reason="needs /proc and the plain allocator")
def test_blank_and_comment_lines_do_not_grow_the_document_issue_13():
    # Issue 13: each line of a large text reserved a map entry, blank or comment lines too,
    # and the reservation stayed: 8 MB of blank lines cost 128 MiB.
    out = run_child(MERGE_GROWTH)
    growth, sizes = [int(x) for x in out[0::2]], out[1::2]
    assert sizes == ["1", "1", "1"]
    assert max(growth) < 4096, growth


# A merge that runs out of address space midway, then every way of reading the document.
MEMORY_ERROR = """
import resource
from qern_native import QERN

cfg = QERN.parse("a = old-value-longer-than-sso\\nb = other\\nc = other")
assert cfg.find_key("old-value-longer-than-sso") == "a"   # the reverse index is built
big = "a = " + "x" * 200_000_000
with open("/proc/self/status") as f:
    vm = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
limits = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm + 100_000_000, limits[1]))
try:
    cfg.merge_content(big)
    print("merged")
except MemoryError:
    print("MemoryError")
finally:
    resource.setrlimit(resource.RLIMIT_AS, limits)
print(cfg.find_obj("a"), cfg.find_key("old-value-longer-than-sso"),
      "old-value-longer-than-sso" in cfg, len(cfg))
cfg.merge_content("a = replaced\\nd = other")
print(cfg.find_key("old-value-longer-than-sso"), cfg.find_key("replaced"), sorted(cfg.to_dict()))
"""


@pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/status"),
                    reason="the sanitizers need more address space than the limit leaves")
def test_a_memory_error_leaves_the_document_whole_issue_13():
    # Issue 13: the failed replacement left "a" out of the reverse index.
    assert run_child(MEMORY_ERROR) == [
        "MemoryError",
        "old-value-longer-than-sso", "a", "True", "3",
        "None", "a", "['a',", "'b',", "'c',", "'d']",
    ]
