"""Times qern_native against Python's own configuration readers on the same data.

Each size's content is written as QERN, JSON, TOML and INI; every contender runs in
alternation (so drift in the machine's load hits all alike) and the median of the runs is
reported, with its ratio to json.loads. Memory is measured in a fresh subprocess per
contender: the growth of the resident set while the result is alive.

Typed values and snapshots: QERN.parse + to_typed_dict against json.loads of the same data
as typed JSON and tomllib.loads of it as TOML (a service configuration of server records
and samples); FrozenQERN.get against dict.get; two threads reading one snapshot against
one (on a free-threaded build); the memory of a snapshot against the json dict.

    python bench/compare.py [--sizes 1000,100000,1000000] [--runs 7]
                            [--csv FILE] [--json FILE] [--plot FILE.png]
"""

import argparse
import configparser
import csv
import gc
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tomllib

from qern_native import QERN

try:  # built only with the benchmarks (QERN_BUILD_BENCH): the floors measured against
    import qern_floor
except ImportError:
    qern_floor = None


def content(n):
    return [(f"key_{i:07d}", f"value number {i} with some text") for i in range(n)]


def as_qern(pairs):
    return "".join(f"{k} = {v}\n" for k, v in pairs)


def as_json(pairs):
    return json.dumps(dict(pairs))


def as_toml(pairs):
    return "".join(f'{k} = "{v}"\n' for k, v in pairs)


def as_ini(pairs):
    return "[main]\n" + "".join(f"{k} = {v}\n" for k, v in pairs)


def read_ini(text):
    parser = configparser.ConfigParser(interpolation=None)
    parser.read_string(text)
    return parser


def median_times(contenders, runs):
    """Runs each contender `runs` times, alternating, and returns the median seconds.

    The order turns by one place each round: what a contender leaves behind (memory the
    allocator hands back to the system, to be faulted in again by the next one) falls on
    each of the others in turn, not always on the one after it."""
    times = {name: [] for name in contenders}
    names = list(contenders)
    for r in range(runs):
        for name in names[r % len(names):] + names[:r % len(names)]:
            fn = contenders[name]
            gc.collect()
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def per_call(contenders, repeat, rounds=5):
    """Seconds per call of each contender, name -> (fn, args), over its args, measured side
    by side: the calls are made in `rounds` rounds, each contender's share of a round after
    the other's, and each keeps its fastest round. A change of the machine's pace during
    the measurement then falls on all of them, not on the one measured last."""
    best = {name: float("inf") for name in contenders}
    passes = max(1, repeat // rounds)
    for _ in range(rounds):
        for name, (fn, args) in contenders.items():
            start = time.perf_counter()
            for _ in range(passes):
                for a in args:
                    fn(a)
            best[name] = min(best[name], (time.perf_counter() - start) / (passes * len(args)))
    return best


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


MEMORY_PROBE = """
import gc, json, os, sys, tomllib, configparser
sys.path[:0] = {path!r}
from qern_native import QERN
sys.path.insert(0, {bench!r})
import compare
n, which = {n}, {which!r}
# The text comes from a file, and nothing made before the measurement is freed: an
# allocator that keeps freed memory (the free-threaded build's) would otherwise hand it to
# the contender, hiding what it takes.
with open({text_path!r}, "rb") as f:
    raw = f.read()
text = raw.decode()
gc.collect()
before = compare.rss_bytes()
if which == "qern":
    kept = QERN.parse(text)
elif which == "qern+to_dict":
    kept = QERN.parse(text).to_dict()
elif which == "frozen":
    kept = QERN.parse(text).freeze()
elif which == "json":
    kept = json.loads(text)
elif which == "toml":
    kept = tomllib.loads(text)
else:
    kept = compare.read_ini(text)
gc.collect()
print(compare.rss_bytes() - before)
"""


def memory_of(n, which):
    make = {"qern": as_qern, "qern+to_dict": as_qern, "frozen": as_qern, "json": as_json,
            "toml": as_toml,
            "ini": as_ini}[which]
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write(make(content(n)))
        text_path = f.name
    try:
        code = MEMORY_PROBE.format(path=sys.path, bench=os.path.dirname(os.path.abspath(__file__)),
                                   n=n, which=which, text_path=text_path)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True)
    finally:
        os.unlink(text_path)
    return int(out.stdout.strip())


def threads_against_one(work, args):
    """work(a) for every a in `args`, one thread for each at once, against all of them one
    after another on one thread: the ratio of the times."""
    start = time.perf_counter()
    for a in args:
        work(a)
    serial = time.perf_counter() - start
    threads = [threading.Thread(target=work, args=(a,)) for a in args]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return serial / (time.perf_counter() - start)


def two_thread_speedup(texts, rounds=4):
    """Throughput of two threads each parsing its own document, relative to one thread
    parsing both."""
    def work(text):
        for _ in range(rounds):
            QERN.parse(text)
    return threads_against_one(work, texts)


def other_thread_share(text):
    """How fast a pure-Python thread runs while another thread parses, relative to its pace
    alone: near 0 if the parse held the GIL, near 1 if it released it."""
    count, stop = [0], [False]
    def spin():
        while not stop[0]:
            count[0] += 1
    def pace(during):
        stop[0], count[0] = False, 0
        t = threading.Thread(target=spin)
        t.start()
        time.sleep(0.02)
        c0, t0 = count[0], time.perf_counter()
        during()
        rate = (count[0] - c0) / (time.perf_counter() - t0)
        stop[0] = True
        t.join()
        return rate
    return pace(lambda: QERN.parse(text)) / pace(lambda: time.sleep(0.3))


def measure(n, runs):
    pairs = content(n)
    q_text, j_text, t_text, i_text = as_qern(pairs), as_json(pairs), as_toml(pairs), as_ini(pairs)
    with tempfile.NamedTemporaryFile("w", suffix=".qrn", delete=False) as f:
        f.write(q_text)
        path = f.name
    try:
        parse_runs = max(3, runs if n <= 100_000 else 3)
        t = median_times({
            "json.loads": lambda: json.loads(j_text),
            "QERN.parse": lambda: QERN.parse(q_text),
            "QERN.parse+to_dict": lambda: QERN.parse(q_text).to_dict(),
            "QERN.load": lambda: QERN.load(path),
            "tomllib.loads": lambda: tomllib.loads(t_text),
            "configparser": lambda: read_ini(i_text),
        }, parse_runs)
    finally:
        os.unlink(path)

    doc = QERN.parse(q_text)
    plain = json.loads(j_text)
    sample = [(k, v) for k, v in pairs[:: max(1, n // 1000)]][:1000]
    keys = [k for k, _ in sample]
    values = [v for _, v in sample]
    repeat = max(1, 200_000 // len(keys))
    doc.find_key(values[0])  # the reverse index is built on first use
    lookups = per_call({
        "dict.get": (plain.get, keys),
        "find_obj": (doc.find_obj, keys),
        "find_key": (doc.find_key, values),
        "find_deep": (doc.find_deep, keys),
        "validate_value": (lambda v: doc.validate_value("string", v), values),
    }, repeat)
    to_dict = median_times({"to_dict": doc.to_dict}, max(3, runs // 2))["to_dict"]
    memory = {w: memory_of(n, w) for w in ("json", "qern", "qern+to_dict", "toml", "ini")}
    return {"pairs": n, "times": t, "to_dict": to_dict, "lookups": lookups, "memory": memory}


def schema_cost(runs):
    """Merging assignments that schemas check, into a document with 50 and with 5 000
    schemas declared: the time per merge should not grow with the number of schemas."""
    body = "".join(f"f{i % 50} = {i}\n" for i in range(50_000))
    docs = {}
    for count in (50, 5000):
        docs[count] = QERN.parse("".join(
            f"@schema S{s} {{ f{s % 50}: i32, g{s}: i32 }}\n" for s in range(count)))
    t = median_times({str(c): (lambda d=d: d.merge_content(body)) for c, d in docs.items()}, runs)
    return t["5000"] / t["50"]


def typed_service(n):
    """A service configuration with `n` server records and `n` samples, as QERN (with the
    schemas that type it), as JSON and as TOML, and the Python value all three stand for."""
    servers = [{"host": f"h{i:07d}.example.com", "port": 8000 + i % 1000, "weight": (i % 100) / 8,
                "enabled": i % 3 == 0, "tags": ["web", f"zone{i % 4}"]} for i in range(n)]
    samples = [i / 4 for i in range(n)]
    value = {"name": "shop", "workers": 8, "ratio": 0.75, "debug": False, "servers": servers,
             "samples": samples}
    flag = lambda b: "true" if b else "false"
    qern = (
        "@schema Server { host: string, port: i32, weight: f64, enabled: bool, tags: list<string> }\n"
        "@schema Service { name: string, workers: i32, ratio: f64, debug: bool,"
        " servers: list<Server>, samples: list<f64> }\n"
        "name = shop\nworkers = 8\nratio = 0.75\ndebug = false\nservers = ["
        + ", ".join(f"{{ host = {s['host']}, port = {s['port']}, weight = {s['weight']!r}, "
                    f"enabled = {flag(s['enabled'])}, tags = [{', '.join(s['tags'])}] }}"
                    for s in servers)
        + "]\nsamples = [" + ", ".join(map(repr, samples)) + "]\n")
    toml = (
        'name = "shop"\nworkers = 8\nratio = 0.75\ndebug = false\nservers = ['
        + ", ".join(f'{{host = "{s["host"]}", port = {s["port"]}, weight = {s["weight"]!r}, '
                    f'enabled = {flag(s["enabled"])}, tags = ["{s["tags"][0]}", "{s["tags"][1]}"]}}'
                    for s in servers)
        + "]\nsamples = [" + ", ".join(map(repr, samples)) + "]\n")
    return qern, json.dumps(value), toml, value


def typed_times(n, runs):
    qern, js, toml, value = typed_service(n)
    assert QERN.parse(qern).to_typed_dict() == json.loads(js) == tomllib.loads(toml) == value
    return median_times({
        "json.loads": lambda: json.loads(js),
        "QERN.parse+to_typed_dict": lambda: QERN.parse(qern).to_typed_dict(),
        "tomllib.loads": lambda: tomllib.loads(toml),
    }, runs)


def frozen_reads(n):
    """Per call, FrozenQERN.get and dict.get (of json.loads) over `n` string pairs."""
    pairs = content(n)
    fz = QERN.parse(as_qern(pairs)).freeze()
    plain = json.loads(as_json(pairs))
    keys = [k for k, _ in pairs[:: max(1, n // 1000)]][:1000]
    repeat = max(1, 200_000 // len(keys))
    return per_call({"dict.get": (plain.get, keys), "FrozenQERN.get": (fz.get, keys)}, repeat)


def frozen_thread_speedup(n=100_000, rounds=10, shared=True):
    """Throughput of two threads reading one snapshot, against one thread doing the work of
    both. Each thread reads its own key objects, in its own order. With shared=False each
    thread reads a dict of its own instead: what the machine itself allows."""
    pairs = content(n)
    fz = QERN.parse(as_qern(pairs)).freeze()

    def work(seed):
        keys = [f"key_{i:07d}" for i in range(0, n, 7)]
        random.Random(seed).shuffle(keys)
        get = fz.get if shared else dict(pairs).get
        for _ in range(rounds):
            for k in keys:
                get(k)

    return threads_against_one(work, (0, 1))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="1000,100000,1000000")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--csv")
    ap.add_argument("--json")
    ap.add_argument("--plot")
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    print(f"Python {sys.version.split()[0]} ({'free-threaded' if not getattr(sys, '_is_gil_enabled', lambda: True)() else 'with GIL'}), "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f}")
    rows, results = [], []
    for n in sizes:
        r = measure(n, args.runs)
        results.append(r)
        base = r["times"]["json.loads"]
        for name, sec in r["times"].items():
            rows.append({"pairs": n, "contender": name, "ms": sec * 1e3, "vs_json": sec / base,
                         "memory_mb": None})
        for which, label in (("json", "json.loads"), ("qern", "QERN.parse"),
                             ("qern+to_dict", "QERN.parse+to_dict"), ("toml", "tomllib.loads"),
                             ("ini", "configparser")):
            for row in rows:
                if row["pairs"] == n and row["contender"] == label:
                    row["memory_mb"] = r["memory"][which] / 2**20

    print(f"\n{'pairs':>9} {'contender':<20} {'median ms':>10} {'x json':>7} {'memory MB':>10}")
    for row in rows:
        mem = f"{row['memory_mb']:10.1f}" if row["memory_mb"] is not None else f"{'':>10}"
        print(f"{row['pairs']:>9} {row['contender']:<20} {row['ms']:10.2f} {row['vs_json']:7.2f} {mem}")

    print(f"\n{'pairs':>9} {'lookup':<16} {'ns/call':>9} {'x dict.get':>11}")
    for r in results:
        base = r["lookups"]["dict.get"]
        for name, sec in r["lookups"].items():
            print(f"{r['pairs']:>9} {name:<16} {sec * 1e9:9.1f} {sec / base:11.2f}")

    print("\nTargets (ratios measured in this run):")
    target_rows = []
    def target(label, value, limit):
        ok = value <= limit
        target_rows.append({"target": label, "ratio": value, "limit": limit, "met": ok})
        print(f"  {label:<58} {value:6.2f}  (at most {limit}) {'met' if ok else 'NOT met'}")
    big = results[-1]
    mid = next((r for r in results if r["pairs"] >= 100_000), big)
    pairs200k = as_qern(content(200_000))
    j200k = as_json(content(200_000))
    doc200k = QERN.parse(pairs200k)
    contenders = {"json": lambda: json.loads(j200k), "parse": lambda: QERN.parse(pairs200k),
                  "parse+to_dict": lambda: QERN.parse(pairs200k).to_dict(),
                  "to_dict": doc200k.to_dict}
    if qern_floor is not None:
        qern_floor.hold(pairs200k)
        contenders["floor"] = qern_floor.to_dict
        contenders["floor, ASCII"] = qern_floor.to_dict_ascii
    t = median_times(contenders, args.runs)
    print("  (200 000 pairs, median ms: " + ", ".join(f"{k} {v * 1e3:.1f}" for k, v in t.items()) + ")")
    target("QERN.parse / json.loads, 200 000 pairs", t["parse"] / t["json"], 0.35)
    target("QERN.parse + to_dict / json.loads, 200 000 pairs", t["parse+to_dict"] / t["json"], 0.7)
    if qern_floor is not None:
        floor = t["floor"]
        print(f"  {'to_dict / floor (400 000 str from UTF-8, presized dict)':<58} {t['to_dict'] / floor:6.2f}"
              f"  (ASCII floor: {t['to_dict'] / t['floor, ASCII']:.2f})")
        target_rows.append({"target": "to_dict / floor", "ratio": t["to_dict"] / floor, "limit": None, "met": None})
    else:
        print("  (to_dict / floor: qern_floor is not built; configure with QERN_BUILD_BENCH=ON)")
    target(f"find_key / find_obj, {big['pairs']} keys", big["lookups"]["find_key"] / big["lookups"]["find_obj"], 2.0)
    small = results[0]  # per-call overhead shows where the data sits in cache
    target(f"find_obj / dict.get per call, {small['pairs']} keys", small["lookups"]["find_obj"] / small["lookups"]["dict.get"], 1.6)
    target(f"document memory / json dict memory, {big['pairs']} pairs", big["memory"]["qern"] / big["memory"]["json"], 1.0)
    target("parse with 5 000 schemas / with 50 schemas", schema_cost(max(3, args.runs // 2)), 1.2)
    # Each thread parses its own document; the pure C++ parse, run in alternation with the
    # module, shows what the machine itself allows. The median of three tries of each.
    texts = [pairs200k, as_qern([(f"{k}b", v) for k, v in content(200_000)])]
    module_tries, cxx_tries = [], []
    for _ in range(3):
        module_tries.append(two_thread_speedup(texts))
        if qern_floor is not None:
            cxx_tries.append(qern_floor.cxx_two_thread_speedup(pairs200k, 4))
    speedup = statistics.median(module_tries)
    cxx = f"  C++ parse: {statistics.median(cxx_tries):.2f}" if cxx_tries else ""
    print(f"  {'two threads parsing 200 000 pairs each / one thread':<58} {speedup:6.2f}  (at least 1.7)"
          f" {'met' if speedup >= 1.7 else 'NOT met'}{cxx}")
    target_rows.append({"target": "two-thread throughput", "ratio": speedup, "limit": 1.7, "at_least": True,
                        "met": speedup >= 1.7, "cxx": statistics.median(cxx_tries) if cxx_tries else None})
    share = other_thread_share(as_qern(content(1_000_000)))
    print(f"  {'a Python thread keeps running during a large parse (its pace)':<58} {share:6.2f}  (1.0 = unhindered)")

    print("\nTyped values and snapshots (ratios measured in this run):")
    typed_n = 20_000
    t = typed_times(typed_n, args.runs)
    print(f"  ({typed_n} server records and {typed_n} samples, median ms: "
          + ", ".join(f"{k} {v * 1e3:.1f}" for k, v in t.items()) + ")")
    target("QERN.parse + to_typed_dict / json.loads (typed JSON)",
           t["QERN.parse+to_typed_dict"] / t["json.loads"], 1.0)
    faster = t["tomllib.loads"] / t["QERN.parse+to_typed_dict"]
    print(f"  {'tomllib.loads / (QERN.parse + to_typed_dict)':<58} {faster:6.2f}  (at least 10)"
          f" {'met' if faster >= 10 else 'NOT met'}")
    target_rows.append({"target": "tomllib / parse+to_typed_dict", "ratio": faster, "limit": 10,
                        "at_least": True, "met": faster >= 10})
    reads = frozen_reads(1000)
    print(f"  (per call, 1000 keys: dict.get {reads['dict.get'] * 1e9:.1f} ns, "
          f"FrozenQERN.get {reads['FrozenQERN.get'] * 1e9:.1f} ns)")
    target("FrozenQERN.get / dict.get per call, 1000 keys",
           reads["FrozenQERN.get"] / reads["dict.get"], 1.3)
    if not getattr(sys, "_is_gil_enabled", lambda: True)():
        tries = [(frozen_thread_speedup(), frozen_thread_speedup(shared=False)) for _ in range(3)]
        speedup = statistics.median(t[0] for t in tries)
        own = statistics.median(t[1] for t in tries)
        print(f"  {'two threads reading one snapshot / one thread':<58} {speedup:6.2f}  (at least 1.8)"
              f" {'met' if speedup >= 1.8 else 'NOT met'}  each its own dict: {own:.2f}")
        target_rows.append({"target": "two threads reading one snapshot", "ratio": speedup,
                            "limit": 1.8, "at_least": True, "met": speedup >= 1.8, "own_dicts": own})
    else:
        print("  (two threads reading one snapshot: measured on a free-threaded build only)")
    frozen_memory = memory_of(big["pairs"], "frozen")
    print(f"  (snapshot of {big['pairs']} pairs: {frozen_memory / 2**20:.1f} MB, "
          f"json dict {big['memory']['json'] / 2**20:.1f} MB)")
    target(f"snapshot memory / json dict memory, {big['pairs']} pairs",
           frozen_memory / big["memory"]["json"], 1.0)
    print(f"  (load average at the end: {os.getloadavg()[0]:.2f})")

    if args.csv:
        with open(args.csv, "w", newline="") as f:
            w = csv.DictWriter(f, fieldnames=["pairs", "contender", "ms", "vs_json", "memory_mb"])
            w.writeheader()
            w.writerows(rows)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version, "rows": rows, "lookups": [
                {"pairs": r["pairs"], **{k: v * 1e9 for k, v in r["lookups"].items()}} for r in results],
                "targets": target_rows}, f, indent=2)
    if args.plot:
        plot(rows, sizes, args.plot)


def plot(rows, sizes, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"(no plot: matplotlib is not installed for {sys.executable})")
        return
    names = list(dict.fromkeys(r["contender"] for r in rows))
    fig, axes = plt.subplots(1, len(sizes), figsize=(5 * len(sizes), 4.5), squeeze=False)
    for ax, n in zip(axes[0], sizes):
        ms = [next(r["ms"] for r in rows if r["pairs"] == n and r["contender"] == c) for c in names]
        ax.barh(names, ms, color=["#2b7bba" if c.startswith("QERN") else "#999999" for c in names])
        ax.set_title(f"{n:,} pairs")
        ax.set_xlabel("median ms (lower is better)")
        ax.invert_yaxis()
    fig.suptitle(f"Loading configuration in Python {sys.version.split()[0]}")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"plot written to {path}")


if __name__ == "__main__":
    main()
