"""Latency of `qern lsp` as an editor sees it.

1. A 100 000-line document: the time from the client starting to write a didChange (its
   JSON already built) to the diagnostics of that version being received, debounce
   included; the text alternates between broken and fixed, so every change changes the
   diagnostics.
2. Typing into a 1 MB document one character at a time, each change the whole text (the
   most a client may send): for each keystroke, the time until diagnostics of that version or a later
   one arrive; and the latency of hover requests sent while typing. No change may wait
   behind a check of an older text.
3. A keystroke in a 30 MB document, sent as a ranged change and as the whole text: the
   time until the server has taken the change in (it answers a request sent right after
   it; checks wait behind a long debounce meanwhile).
4. Large documents, each in a server of its own: for 100 000 keys (3.1 MB) and for 10 MB,
   the time of documentSymbol (until its answer has arrived; the client's parsing of the
   JSON is shown apart), the peak memory of the process (its resident high-water mark) and
   its memory after didClose of the document, each against its goal.

    python3 bench/lsp_bench.py [--server build/bin/qern] [--changes 20] [--keys 100]
                               [--burst-ms 30] [--pace-ms 150] [--debounce-ms 50]
                               [--only latency|memory]
"""

import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "lsp"))
import lsp_client  # noqa: E402

HEAD = "@type port_t = i32\n@schema Server { port: port_t, host: string }\nport = 8080\n"


def document(lines):
    body = "".join(f"key_{i} = value number {i}\n" for i in range(lines - 3))
    return HEAD + body


def summary(name, seconds):
    ms = sorted(s * 1000 for s in seconds)
    p95 = ms[min(len(ms) - 1, int(round(0.95 * (len(ms) - 1))))]
    print(f"{name}: median {statistics.median(ms):.1f} ms, p95 {p95:.1f} ms, "
          f"max {ms[-1]:.1f} ms (n={len(ms)})")


def start(folder, debounce_ms):
    client = lsp_client.Client(cwd=folder)
    client.initialize(root=folder, options={"debounceMs": debounce_ms})
    return client


def change_to_diagnostics(folder, args):
    text = document(100_000)
    path = Path(folder) / "large.qrn"
    client = start(folder, args.debounce_ms)
    try:
        uri = client.open(path, text)
        client.diagnostics(uri, 1, timeout=60)
        latencies = []
        # Version 2 warms the server up (its first large allocations); it is not counted.
        for version in range(2, args.changes + 3):
            broken = version % 2 == 0
            changed = text + ("port = not a number\n" if broken else "")
            data = lsp_client.change_frame(uri, changed, version)
            t0 = time.perf_counter()
            client.write(data)
            diagnostics = client.diagnostics(uri, version, timeout=60)
            if version > 2:
                latencies.append(client.received - t0)
            assert bool(diagnostics) == broken, diagnostics
        print(f"100 000-line document ({len(text) / 1e6:.1f} MB), debounce {args.debounce_ms} ms")
        summary("  change -> diagnostics", latencies)
        client.shutdown()
    finally:
        client.close()


def typing(folder, args, interval_ms):
    text = sized(1_000_000)
    path = Path(folder) / "typing.qrn"
    client = start(folder, args.debounce_ms)
    try:
        uri = client.open(path, text)
        client.diagnostics(uri, 1, timeout=60)
        sent = {}
        hovers = []
        published = []  # (time, version)
        typed = text
        word = "new_key = 12345\n"
        for i in range(args.keys):
            version = i + 2
            typed = typed + word[i % len(word)]
            data = lsp_client.change_frame(uri, typed, version)
            sent[version] = time.perf_counter()
            client.write(data)
            if i % 10 == 5:
                t0 = time.perf_counter()
                client.at("textDocument/hover", uri, 2, 1, timeout=60)
                hovers.append(client.received - t0)
            time.sleep(interval_ms / 1000)
            while True:  # collect what has arrived, without waiting
                try:
                    p = client.notification("textDocument/publishDiagnostics", timeout=0.001)
                    published.append((client.received, p.get("version")))
                except TimeoutError:
                    break
        last = args.keys + 1
        while not published or published[-1][1] != last:
            p = client.notification("textDocument/publishDiagnostics", timeout=60)
            published.append((client.received, p.get("version")))
        # For each keystroke: the first diagnostics of its version or a later one.
        latencies = []
        for version, t in sent.items():
            arrived = min(when for when, v in published if v is not None and v >= version)
            latencies.append(arrived - t)
        stale = sum(1 for a, b in zip(published, published[1:]) if b[1] < a[1])
        print(f"typing into a {len(text) / 1e6:.2f} MB document: {args.keys} keystrokes, "
              f"one every {interval_ms:g} ms, debounce {args.debounce_ms} ms")
        if interval_ms > args.debounce_ms:
            summary("  keystroke -> its diagnostics", latencies)
        else:
            # Within a burst, checks wait for a pause: what counts is the last keystroke.
            print(f"  last keystroke -> its diagnostics: {latencies[-1] * 1000:.1f} ms")
        summary("  hover while typing", hovers)
        print(f"  diagnostics published: {len(published)} (versions out of order: {stale})")
        client.shutdown()
    finally:
        client.close()


MB = 1 << 20


def keystroke_in_a_large_document(folder, args):
    text = sized(30_000_000)
    client = start(folder, 10_000)
    try:
        uri = client.open(Path(folder) / "huge.qrn", text)
        client.diagnostics(uri, 1, timeout=600)
        middle = text.count("\n") // 2
        version = 1

        def taken_in(change, label):
            nonlocal version
            version += 1
            data = lsp_client.frame({
                "jsonrpc": "2.0", "method": "textDocument/didChange",
                "params": {"textDocument": {"uri": uri, "version": version},
                           "contentChanges": [change]}})
            data += lsp_client.frame({"jsonrpc": "2.0", "id": label, "method": "qern/ping"})
            t0 = time.perf_counter()
            client.write(data)
            client.wait(lambda m: m.get("id") == label, timeout=120)
            return client.received - t0

        point = {"line": middle, "character": 0}
        ranged = [taken_in({"range": {"start": point, "end": point}, "text": "x"}, f"r{i}")
                  for i in range(20)]
        whole = [taken_in({"text": text + "x" * i}, f"w{i}") for i in range(5)]
        print(f"a keystroke in a {len(text) / 1e6:.0f} MB document, until the server has "
              "taken it in")
        summary("  ranged change", ranged)
        summary("  whole text", whole)
        print(f"  whole text / ranged change (medians): "
              f"{statistics.median(whole) / statistics.median(ranged):.0f}")
        client.shutdown()
    finally:
        client.close()


def memory_bytes(pid, field):
    """A figure of /proc/PID/status in bytes: VmRSS (resident now), VmHWM (resident peak)."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} for process {pid}")


def sized(size):
    """A document of `size` bytes or a line more."""
    parts = [HEAD]
    total, i = len(HEAD), 0
    while total < size:
        line = f"key_{i} = value number {i}\n"
        parts.append(line)
        total += len(line)
        i += 1
    return "".join(parts)


def verdict(value, goal, unit, scale=1.0):
    digits = 2 if unit == "s" else 0
    met = "met" if value <= goal else "MISSED"
    return (f"{value / scale:.{digits}f} {unit} "
            f"(goal <= {goal / scale:.{digits}f} {unit}: {met})")


def large_document(folder, args, name, text, symbols_goal):
    path = Path(folder) / f"{name.replace(' ', '_')}.qrn"
    client = start(folder, args.debounce_ms)
    try:
        pid = client.proc.pid
        before = memory_bytes(pid, "VmRSS")
        uri = client.open(path, text)
        client.diagnostics(uri, 1, timeout=600)
        t0 = time.perf_counter()
        result = client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}},
                                timeout=600)
        # Until the answer has arrived: the client's own reading of its JSON (which takes
        # Python longer than the server takes to write it) is shown apart.
        symbols = client.received - t0
        parsed = time.perf_counter() - client.received
        peak = memory_bytes(pid, "VmHWM")
        client.notify("textDocument/didClose", {"textDocument": {"uri": uri}})
        client.notification("textDocument/publishDiagnostics",
                            lambda p: p["uri"] == uri and p["diagnostics"] == [], timeout=60)
        # The memory goes back once the worker is idle: allow it a moment.
        deadline = time.monotonic() + 5
        while True:
            after = memory_bytes(pid, "VmRSS")
            if after <= before + 32 * MB or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        print(f"{name} ({len(text) / 1e6:.1f} MB), a server of its own")
        print(f"  documentSymbol: {verdict(symbols, symbols_goal, 's')}; {len(result)} symbols, "
              f"read by the client in {parsed:.2f} s more")
        print(f"  peak memory: {verdict(peak, 3 * len(text) + 64 * MB, 'MB', MB)}")
        print(f"  memory after didClose: {verdict(after, before + 32 * MB, 'MB', MB)}; "
              f"{before / MB:.0f} MB before the open")
        client.shutdown()
    finally:
        client.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", help="the qern binary (default: QERN_BIN or build/bin/qern)")
    parser.add_argument("--changes", type=int, default=20)
    parser.add_argument("--keys", type=int, default=100)
    parser.add_argument("--burst-ms", type=float, default=30,
                        help="keystroke interval of a burst (shorter than the debounce)")
    parser.add_argument("--pace-ms", type=float, default=150,
                        help="keystroke interval of steady typing (longer than the debounce)")
    parser.add_argument("--debounce-ms", type=int, default=50)
    parser.add_argument("--only", choices=["latency", "memory"],
                        help="run one part (default: both)")
    args = parser.parse_args()
    if args.server:
        os.environ["QERN_BIN"] = args.server
    with tempfile.TemporaryDirectory() as folder:
        if args.only != "memory":
            change_to_diagnostics(folder, args)
            typing(folder, args, args.burst_ms)
            typing(folder, args, args.pace_ms)
            keystroke_in_a_large_document(folder, args)
        if args.only != "latency":
            large_document(folder, args, "100 000 keys", document(100_000), 0.5)
            large_document(folder, args, "10 MB document", sized(10_000_000), 2.0)


if __name__ == "__main__":
    main()
