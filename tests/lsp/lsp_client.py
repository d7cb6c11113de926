"""A small Language Server Protocol client that drives `qern lsp` over stdio, as an editor
would: framed JSON-RPC messages, a reader thread, and a timeout on every wait so that a
server that hangs fails a test instead of blocking it."""

import json
import os
import queue
import subprocess
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
TIMEOUT = float(os.environ.get("QERN_LSP_TIMEOUT", "10"))


def server_command():
    # Absolute: the server is started in a folder of the test's own.
    binary = os.path.abspath(os.environ.get("QERN_BIN", str(ROOT / "build" / "bin" / "qern")))
    return [binary, "lsp"]


def frame(message):
    body = json.dumps(message).encode()
    return b"Content-Length: %d\r\n\r\n" % len(body) + body


def change_frame(uri, text, version):
    """A full-text didChange, framed (so that a benchmark can time the write alone)."""
    return frame({"jsonrpc": "2.0", "method": "textDocument/didChange", "params": {
        "textDocument": {"uri": uri, "version": version}, "contentChanges": [{"text": text}]}})


class ServerError(Exception):
    def __init__(self, error):
        super().__init__(f"{error.get('code')}: {error.get('message')}")
        self.code = error.get("code")
        self.message = error.get("message")


class Client:
    def __init__(self, cwd=None, answer_requests=None):
        self.proc = subprocess.Popen(
            server_command(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, cwd=cwd)
        self.messages = queue.Queue()
        self.pending = []  # (time received, message) read while waiting for something else
        self.received = None  # when the message last returned by wait() arrived
        self.next_id = 0
        # The server's own requests (workspace/configuration, ...) get these answers.
        self.answer_requests = answer_requests or {}
        self.server_requests = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        out = self.proc.stdout
        try:
            while True:
                length = None
                while True:
                    line = out.readline()
                    if not line:
                        self.messages.put(None)
                        return
                    line = line.strip()
                    if not line:
                        break
                    name, _, value = line.partition(b":")
                    if name.lower() == b"content-length":
                        length = int(value)
                body = out.read(length)
                self.messages.put((time.perf_counter(), json.loads(body)))
        except Exception as e:  # noqa: BLE001 - surfaced to the waiting test
            self.messages.put(e)

    def write(self, data):
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def send(self, message):
        self.write(frame(message))

    def notify(self, method, params=None):
        self.send({"jsonrpc": "2.0", "method": method, "params": params or {}})

    def request_async(self, method, params=None):
        self.next_id += 1
        self.send({"jsonrpc": "2.0", "id": self.next_id, "method": method,
                   "params": {} if params is None else params})
        return self.next_id

    def request(self, method, params=None, timeout=TIMEOUT):
        return self.result(self.request_async(method, params), timeout)

    def result(self, request_id, timeout=TIMEOUT):
        message = self.wait(lambda m: m.get("id") == request_id and "method" not in m, timeout)
        if "error" in message:
            raise ServerError(message["error"])
        return message["result"]

    def wait(self, predicate, timeout=TIMEOUT, what="a message"):
        for i, (received, message) in enumerate(self.pending):
            if predicate(message):
                self.received = received
                return self.pending.pop(i)[1]
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError(f"no {what} within {timeout} s")
            try:
                item = self.messages.get(timeout=left)
            except queue.Empty:
                raise TimeoutError(f"no {what} within {timeout} s") from None
            if item is None:
                raise EOFError("the server closed its output")
            if isinstance(item, Exception):
                raise item
            received, message = item
            if "method" in message and "id" in message:
                self._answer(message)
                continue
            if predicate(message):
                self.received = received
                return message
            self.pending.append(item)

    def _answer(self, message):
        self.server_requests.append(message)
        result = self.answer_requests.get(message["method"])
        self.send({"jsonrpc": "2.0", "id": message["id"],
                   "result": result(message["params"]) if callable(result) else result})

    def notification(self, method, predicate=lambda p: True, timeout=TIMEOUT):
        message = self.wait(
            lambda m: m.get("method") == method and "id" not in m and predicate(m["params"]),
            timeout, what=method)
        return message["params"]

    def diagnostics(self, uri, version=None, timeout=TIMEOUT):
        """The next diagnostics published for `uri` (for `version`, when given)."""
        return self.notification(
            "textDocument/publishDiagnostics",
            lambda p: p["uri"] == uri and (version is None or p.get("version") == version),
            timeout)["diagnostics"]

    def initialize(self, root=None, options=None, capabilities=None, folders=None):
        params = {"processId": os.getpid(), "capabilities": capabilities or {},
                  "rootUri": Path(root).as_uri() if root else None}
        if options is not None:
            params["initializationOptions"] = options
        if folders is not None:
            params["workspaceFolders"] = [{"uri": Path(f).as_uri(), "name": Path(f).name}
                                          for f in folders]
        result = self.request("initialize", params)
        self.notify("initialized")
        return result

    def open(self, path, text, version=1):
        uri = Path(path).as_uri()
        self.notify("textDocument/didOpen", {"textDocument": {
            "uri": uri, "languageId": "qern", "version": version, "text": text}})
        return uri

    def change(self, uri, text, version):
        self.write(change_frame(uri, text, version))

    def at(self, method, uri, line, character, **extra):
        return self.request(method, {"textDocument": {"uri": uri},
                                     "position": {"line": line, "character": character},
                                     **extra})

    def shutdown(self, timeout=TIMEOUT):
        self.request("shutdown")
        self.notify("exit")
        return self.proc.wait(timeout)

    def close(self):
        """Stops the server; returns what it wrote to stderr (a sanitizer's report, say)."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(TIMEOUT)
        errors = self.proc.stderr.read().decode(errors="replace")
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass
        return errors
