"""Latency of `qern lsp` as an editor sees it.

1. A 100 000-line document: the time from the client starting to write a didChange (its
   JSON already built) to the diagnostics of that version being received, debounce
   included; the text alternates between broken and fixed, so every change changes the
   diagnostics.
2. Typing into a 1 MB document one character at a time (full text sync, as the server
   asks for): for each keystroke, the time until diagnostics of that version or a later
   one arrive; and the latency of hover requests sent while typing. No change may wait
   behind a check of an older text.

    python3 bench/lsp_bench.py [--server build/bin/qern] [--changes 20] [--keys 100]
                               [--burst-ms 30] [--pace-ms 150] [--debounce-ms 50]
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


def megabyte():
    text = HEAD
    i = 0
    while len(text) < 1_000_000:
        text += f"key_{i} = value number {i}\n"
        i += 1
    return text


def typing(folder, args, interval_ms):
    text = megabyte()
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
    args = parser.parse_args()
    if args.server:
        os.environ["QERN_BIN"] = args.server
    with tempfile.TemporaryDirectory() as folder:
        change_to_diagnostics(folder, args)
        typing(folder, args, args.burst_ms)
        typing(folder, args, args.pace_ms)


if __name__ == "__main__":
    main()
