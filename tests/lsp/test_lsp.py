"""`qern lsp` as an editor sees it: framed JSON-RPC over the server's stdin and stdout."""

import random
import subprocess
import time

import pytest

from lsp_client import TIMEOUT, ServerError, frame, server_command

SCHEMA = "@type port_t = i32\n@schema Server { port: port_t, host: string, note*: string }\n"


def messages_of(diagnostics):
    return [d["message"] for d in diagnostics]


def rng(line, start, end, end_line=None):
    return {"start": {"line": line, "character": start},
            "end": {"line": line if end_line is None else end_line, "character": end}}


def hover_text(client, uri, line, character):
    result = client.at("textDocument/hover", uri, line, character)
    return None if result is None else result["contents"]["value"]


def labels(result):
    return [item["label"] for item in result["items"]]


# --- initialize and the protocol's life cycle ---------------------------------------

def test_initialize_announces_what_the_server_does(start):
    client = start(initialize=False)
    with pytest.raises(ServerError) as early:
        client.request("textDocument/hover", {})
    assert early.value.code == -32002
    result = client.initialize()
    caps = result["capabilities"]
    assert caps["positionEncoding"] == "utf-16"
    assert caps["textDocumentSync"] == {"openClose": True, "change": 2,
                                        "save": {"includeText": False}}
    assert caps["hoverProvider"] and caps["definitionProvider"] and caps["documentSymbolProvider"]
    assert caps["documentFormattingProvider"]
    assert caps["codeActionProvider"] == {"codeActionKinds": ["quickfix"]}
    assert sorted(caps["completionProvider"]["triggerCharacters"]) == [":", "<", "@"]
    assert result["serverInfo"]["name"] == "qern"
    with pytest.raises(ServerError) as again:
        client.request("initialize", {"capabilities": {}})
    assert again.value.code == -32600


def test_shutdown_then_exit_ends_with_status_0(start):
    client = start()
    assert client.request("shutdown") is None
    with pytest.raises(ServerError) as after:
        client.request("textDocument/documentSymbol", {"textDocument": {"uri": "file:///x"}})
    assert after.value.code == -32600
    client.notify("exit")
    assert client.proc.wait(TIMEOUT) == 0


@pytest.mark.parametrize("ending", ["exit", "eof"])
def test_ending_without_shutdown_is_status_1(start, workspace, ending):
    client = start()
    client.open(workspace.root / "a.qrn", "a = 1\n")
    if ending == "exit":
        client.notify("exit")
    else:
        client.proc.stdin.close()  # the editor went away
    assert client.proc.wait(TIMEOUT) == 1


def test_end_of_input_after_shutdown_is_status_0(start):
    client = start()
    client.request("shutdown")
    client.proc.stdin.close()
    assert client.proc.wait(TIMEOUT) == 0


# --- malformed input ------------------------------------------------------------------

@pytest.mark.parametrize("message, code", [
    ([1, 2], -32600),                                              # not an object
    ({"jsonrpc": "2.0", "id": 5, "method": 3}, -32600),            # method not a string
    ({"jsonrpc": "1.0", "id": 5, "method": "shutdown"}, -32600),   # wrong version
    ({"jsonrpc": "2.0", "id": [5], "method": "shutdown"}, -32600),  # id not a number/string
    ({"jsonrpc": "2.0", "id": 5, "method": "no/such"}, -32601),
    ({"jsonrpc": "2.0", "id": 5, "method": "$/no/such"}, -32601),
    ({"jsonrpc": "2.0", "id": 5, "method": "textDocument/hover", "params": [1]}, -32602),
    ({"jsonrpc": "2.0", "id": 5, "method": "textDocument/hover",
      "params": {"textDocument": {"uri": 7}, "position": {"line": 0, "character": 0}}}, -32602),
    ({"jsonrpc": "2.0", "id": 5, "method": "textDocument/hover",
      "params": {"textDocument": {"uri": "file:///a"}, "position": "0:0"}}, -32602),
    ({"jsonrpc": "2.0", "id": 5, "method": "textDocument/definition",
      "params": {"textDocument": {"uri": "file:///a"}, "position": {"line": -1, "character": 0}}},
     -32602),
])
def test_invalid_requests_get_their_error(start, message, code):
    client = start()
    client.send(message)
    answer = client.wait(lambda m: "error" in m)
    assert answer["error"]["code"] == code
    assert answer["id"] in (5, None)
    assert client.request("shutdown") is None  # still serving


def test_unknown_and_malformed_notifications_are_ignored(start, workspace):
    client = start()
    client.notify("$/setTrace", {"value": "off"})
    client.notify("no/such/notification", {"x": 1})
    client.notify("textDocument/didChange", {"textDocument": {"uri": 5}})
    client.notify("textDocument/didOpen", [])
    uri = workspace.uri("nowhere.qrn")
    # A request for a document that was never opened: an error, not a crash.
    with pytest.raises(ServerError) as unopened:
        client.at("textDocument/hover", uri, 0, 0)
    assert unopened.value.code == -32602
    with pytest.raises(ServerError):
        client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})
    assert client.request("shutdown") is None


def random_messages(rnd, uri, count):
    """Requests and notifications with params of every shape, and stray bytes."""
    texts = ["@import inc.qrn\n@schema S { a: list<list<", '@derive "inc.qrn"::', "@", "é😀 = 1\r",
             "@type x = physics::", "@schema {", "a = [1, {", "\ufeffx = 1\r\r\n"]
    scalars = [None, True, 0, -1, 2**70, 1.5, "", "x", [], {}, uri]
    names = ["textDocument", "uri", "position", "line", "character", "text", "version",
             "contentChanges", "range", "start", "end", "settings", "id", "event"]
    methods = ["textDocument/hover", "textDocument/definition", "textDocument/completion",
               "textDocument/documentSymbol", "textDocument/formatting",
               "textDocument/didOpen", "textDocument/didChange",
               "textDocument/didClose", "textDocument/didSave", "$/cancelRequest",
               "workspace/didChangeConfiguration", "workspace/didChangeWorkspaceFolders"]

    def value(depth=0):
        r = rnd.random()
        if depth < 3 and r < 0.3:
            return {k: value(depth + 1) for k in rnd.sample(names, rnd.randint(0, 4))}
        if depth < 3 and r < 0.4:
            return [value(depth + 1) for _ in range(rnd.randint(0, 3))]
        return rnd.choice(texts if r < 0.6 else scalars)

    for i in range(count):
        params = {"textDocument": {"uri": uri, "version": i, "text": rnd.choice(texts)},
                  "position": {"line": rnd.randint(0, 3), "character": rnd.randint(0, 30)},
                  "contentChanges": [{"text": rnd.choice(texts)}]}
        if rnd.random() < 0.5:
            params[rnd.choice(list(params))] = value()
        message = {"jsonrpc": "2.0", "method": rnd.choice(methods),
                   "params": params if rnd.random() < 0.7 else value()}
        if rnd.random() < 0.5:
            message["id"] = 10_000 + i  # never an id of the client's own requests
        yield frame(message)
        if rnd.random() < 0.03:
            yield bytes(rnd.randrange(256) for _ in range(rnd.randint(1, 40))) + b"\r\n\r\n"


@pytest.mark.parametrize("seed", [1, 2, 6])
def test_random_messages_never_crash_the_server_freed_deadline_bug(start, workspace, seed):
    # These once made the worker wait on a check's deadline that the reader had just
    # dropped (a use after free, reported by AddressSanitizer under ./dev test --sanitize).
    workspace.write("inc.qrn", "@schema B { b: i32 }\nb = x\n")
    client = start(options={"debounceMs": 1})
    uri = workspace.uri("a.qrn")
    for data in random_messages(random.Random(seed), uri, 1500):
        client.write(data)
    assert client.request("shutdown", timeout=60) is None
    client.notify("exit")
    assert client.proc.wait(TIMEOUT) == 0


# --- diagnostics --------------------------------------------------------------------

def test_diagnostics_on_open_change_fix_and_break_again(start, workspace):
    client = start()
    uri = client.open(workspace.root / "app.qrn", SCHEMA + "port = x\nbroken\n")
    diagnostics = client.diagnostics(uri, 1)
    assert messages_of(diagnostics) == [
        "Schema 'Server' validation error: field 'port' (type 'port_t') — Invalid value: "
        "Expected i32, got 'x'",
        "Parse Error at line 4: 'broken'. Reason: Missing assignment operator '='",
    ]
    assert [(d["code"], d["source"], d["severity"]) for d in diagnostics] == [
        ("schema", "qern", 1), ("parse", "qern", 1)]
    assert diagnostics[0]["range"] == rng(2, 7, 8)
    assert diagnostics[1]["range"] == rng(3, 0, 6)

    client.change(uri, SCHEMA + "port = 80\n", 2)
    assert client.diagnostics(uri, 2) == []
    client.change(uri, SCHEMA + "port = 80\n@nope\n", 3)
    assert [d["code"] for d in client.diagnostics(uri, 3)] == ["unknown-directive"]
    # A ranged change.
    client.notify("textDocument/didChange", {
        "textDocument": {"uri": uri, "version": 4},
        "contentChanges": [{"range": rng(3, 1, 5), "text": "import"}]})
    assert messages_of(client.diagnostics(uri, 4))[0].startswith("Parse Error at line 0: ''")
    client.notify("textDocument/didClose", {"textDocument": {"uri": uri}})
    client.notification("textDocument/publishDiagnostics",
                        lambda p: p["uri"] == uri and p["diagnostics"] == [])


def test_a_burst_of_changes_is_checked_once(start, workspace):
    client = start(options={"debounceMs": 300})
    uri = client.open(workspace.root / "a.qrn", "a = 1\n")
    client.diagnostics(uri, 1)
    for version in range(2, 8):
        client.change(uri, f"a = 1\nbroken{version}\n", version)
    assert messages_of(client.diagnostics(uri, 7)) == [
        "Parse Error at line 2: 'broken7'. Reason: Missing assignment operator '='"]
    time.sleep(0.4)
    stale = [m for _, m in client.pending
             if m.get("method") == "textDocument/publishDiagnostics"]
    assert stale == []


def test_errors_in_imported_files_show_on_the_directive(start, workspace):
    workspace.write("conf/inner.qrn", "ok = 1\n\nbroken\n")
    workspace.write("conf/middle.qrn", "# the middle\n@import conf/inner.qrn\n")
    workspace.write("base.qrn", "@schema B { b: i32 }\nb = x\n")
    client = start()
    text = "a = 1\n@import 'conf/middle.qrn'  # note\n@derive base.qrn::B\n@import gone.qrn\n"
    uri = client.open(workspace.root / "app.qrn", text)
    imported, derived, missing = client.diagnostics(uri)

    assert imported["message"] == \
        "Parse Error at line 3: 'broken'. Reason: Missing assignment operator '='"
    assert imported["range"] == rng(1, 9, 24)  # the path, without its quotes
    inner, middle = imported["relatedInformation"]
    assert inner["location"] == {"uri": workspace.uri("conf/inner.qrn"), "range": rng(2, 0, 6)}
    assert middle["location"] == {"uri": workspace.uri("conf/middle.qrn"),
                                  "range": rng(1, 8, 22)}
    assert "conf/inner.qrn" in middle["message"]

    assert derived["code"] == "schema" and derived["range"] == rng(2, 8, 16)
    assert derived["relatedInformation"][0]["location"] == {
        "uri": workspace.uri("base.qrn"), "range": rng(1, 4, 5)}

    assert missing["code"] == "io" and missing["range"] == rng(3, 8, 16)
    assert missing["message"].startswith("IO Error: ")
    assert "relatedInformation" not in missing


def test_a_fixed_imported_file_clears_the_error_of_the_importing_one(start, workspace):
    workspace.write("inc.qrn", "broken\n")
    client = start()
    uri = client.open(workspace.root / "app.qrn", "@import inc.qrn\n")
    assert [d["code"] for d in client.diagnostics(uri)] == ["parse"]
    workspace.write("inc.qrn", "fixed = 1\n")
    client.notify("workspace/didChangeWatchedFiles",
                  {"changes": [{"uri": workspace.uri("inc.qrn"), "type": 2}]})
    assert client.diagnostics(uri) == []


def test_utf16_columns(start, workspace):
    client = start()
    # é and 中 are one UTF-16 unit each, 😀 two; the library counts characters.
    text = "@schema S { é中😀: i32 }\né中😀 = bad # 😀\n😀ü = 中 # x\n"
    uri = client.open(workspace.root / "u.qrn", text)
    [d] = client.diagnostics(uri)
    assert d["range"] == rng(1, 7, 10)
    assert hover_text(client, uri, 2, 3) == "key `😀ü` = `中`"   # on the key's end
    assert hover_text(client, uri, 2, 6) is None                 # on a value that is no key
    assert client.at("textDocument/definition", uri, 2, 1)["range"] == rng(2, 0, 3)
    assert client.at("textDocument/hover", uri, 2, 6 + 1000) is None  # past the end


def test_utf8_positions_when_the_client_only_counts_bytes(start, workspace):
    client = start(capabilities={"general": {"positionEncodings": ["utf-8"]}}, initialize=False)
    result = client.initialize(capabilities={"general": {"positionEncodings": ["utf-8"]}},
                               options={"debounceMs": 10})
    assert result["capabilities"]["positionEncoding"] == "utf-8"
    uri = client.open(workspace.root / "u.qrn", "@schema S { é😀: i32 }\né😀 = bad\n")
    [d] = client.diagnostics(uri)
    assert d["range"] == rng(1, 9, 12)


def test_strict_warnings_follow_the_settings(start, workspace):
    text = "a = 1\na = 2\n"
    client = start()
    uri = client.open(workspace.root / "s.qrn", text)
    assert client.diagnostics(uri) == []
    client.notify("workspace/didChangeConfiguration", {"settings": {"qern": {"strict": True}}})
    [warning] = client.diagnostics(uri)
    assert (warning["severity"], warning["code"]) == (2, "duplicate-key")
    assert warning["range"] == rng(1, 0, 1)
    assert warning["relatedInformation"][0]["location"]["range"] == rng(0, 0, 1)
    client.notify("workspace/didChangeConfiguration", {"settings": {"qern": {"strict": False}}})
    assert client.diagnostics(uri) == []

    strict_from_start = start(options={"strict": True, "debounceMs": 10})
    uri = strict_from_start.open(workspace.root / "s.qrn", text)
    assert [d["code"] for d in strict_from_start.diagnostics(uri)] == ["duplicate-key"]


def test_settings_pulled_from_the_client(start, workspace):
    client = start(capabilities={"workspace": {"configuration": True}},
                   answer_requests={"workspace/configuration": [{"strict": True}]})
    uri = client.open(workspace.root / "s.qrn", "a = 1\na = 2\n")
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if [d["code"] for d in client.diagnostics(uri)] == ["duplicate-key"]:
            break
    else:
        pytest.fail("the pulled setting never took effect")
    assert client.server_requests[0]["params"] == {"items": [{"section": "qern"}]}


def test_working_directory_rule(start, workspace):
    workspace.write("shared/common.qrn", "shared = yes\n")
    workspace.write("sub/common.qrn", "mine = yes\n")
    workspace.write("sub/app.qrn", "")
    text = "@import common.qrn\n"
    # No workspace folder: the directory of the file.
    client = start(root=None, cwd="/")
    uri = client.open(workspace.root / "sub/app.qrn", text)
    assert client.diagnostics(uri) == []
    assert hover_text(client, uri, 0, 10).startswith(f"`{workspace.root / 'sub/common.qrn'}`")
    # The workspace folder comes before the file's directory.
    in_folder = start()
    uri = in_folder.open(workspace.root / "sub/app.qrn", text)
    assert messages_of(in_folder.diagnostics(uri))[0].startswith("IO Error: ")
    # The setting comes before both; a relative one is taken in the workspace folder.
    configured = start(options={"workingDirectory": "shared", "debounceMs": 10})
    uri = configured.open(workspace.root / "sub/app.qrn", text)
    assert configured.diagnostics(uri) == []
    definition = configured.at("textDocument/definition", uri, 0, 10)
    assert definition["uri"] == workspace.uri("shared/common.qrn")


# --- hover ----------------------------------------------------------------------------

def test_hover(start, workspace):
    workspace.write("base.qrn", "@schema Base { host: string }\nhost = example.org\n")
    client = start()
    text = (SCHEMA + "@derive base.qrn::Base\n@type dist = physics::meter\n"
            "@schema Route { legs: list<dist>, at: Server }\nport = 8080\nnowhere = nosuch\n")
    uri = client.open(workspace.root / "h.qrn", text)
    client.diagnostics(uri)

    key = hover_text(client, uri, 5, 1)
    assert "key `port` = `8080`" in key
    assert "schema `Server`, field `port`: `port_t` (required)" in key
    assert "`i32`: a 32-bit signed integer" in key
    alias = hover_text(client, uri, 1, 24)                  # port_t in the schema body
    assert alias.startswith("`port_t`: type alias for `i32`")
    unit = hover_text(client, uri, 4, 30)                   # dist inside list<dist>
    assert "`physics::meter`: unit meter (length), dimension L; a number" in unit
    assert hover_text(client, uri, 3, 16).startswith("`physics::meter`: unit meter")
    schema = hover_text(client, uri, 4, 40)                 # Server as a field's type
    assert schema.startswith("`Server`: schema with 3 fields")
    assert "`note*: string` (optional)" in schema
    assert "list `[item, item, …]` whose items are each `dist`" in hover_text(client, uri, 4, 20)
    path = hover_text(client, uri, 2, 10)
    assert path.startswith(f"`{workspace.root / 'base.qrn'}`") and "the file exists" in path
    assert hover_text(client, uri, 2, 20).startswith("`Base`: schema with 1 field")
    assert "`@derive <path>" in hover_text(client, uri, 2, 2)
    assert hover_text(client, uri, 6, 12) is None           # a value that is no key
    workspace.write("t.qrn", "@type bad = nosuch::x\n@type prim = list<i32>\n")
    uri = client.open(workspace.root / "t.qrn", (workspace.root / "t.qrn").read_text())
    assert "is no built-in type" in hover_text(client, uri, 0, 14)
    assert "read as a primitive name" in hover_text(client, uri, 1, 20)


# --- definition -----------------------------------------------------------------------

def test_definition(start, workspace):
    workspace.write("types.qrn", "# shared types\n@type port_t = i32\n")
    workspace.write("base.qrn", "@schema Base { host: string }\n\nhost = example.org\n")
    client = start()
    text = ("@import types.qrn\n@derive base.qrn::Base\n@type id = i32\n"
            "@schema S { port: port_t, ids: list<id>, b: Base }\nname = host\n")
    uri = client.open(workspace.root / "d.qrn", text)
    client.diagnostics(uri)

    def goto(line, character):
        return client.at("textDocument/definition", uri, line, character)

    assert goto(0, 10) == {"uri": workspace.uri("types.qrn"), "range": rng(0, 0, 0)}
    assert goto(1, 10) == {"uri": workspace.uri("base.qrn"), "range": rng(0, 0, 0)}
    # An alias declared in an imported file, used in this one.
    assert goto(3, 20) == {"uri": workspace.uri("types.qrn"), "range": rng(1, 6, 12)}
    assert goto(3, 37) == {"uri": uri, "range": rng(2, 6, 8)}               # list<id>
    assert goto(3, 46) == {"uri": workspace.uri("base.qrn"), "range": rng(0, 8, 12)}
    assert goto(1, 19) == {"uri": workspace.uri("base.qrn"), "range": rng(0, 8, 12)}
    # A key that the @derive brought in: the base file's line.
    assert goto(4, 9) == {"uri": workspace.uri("base.qrn"), "range": rng(2, 0, 4)}
    assert goto(4, 1) == {"uri": uri, "range": rng(4, 0, 4)}
    assert goto(3, 13) is None  # a field whose key has no value
    assert client.at("textDocument/definition", uri, 0, 1) is None


# --- symbols --------------------------------------------------------------------------

def test_document_symbols(start, workspace):
    workspace.write("other.qrn", "elsewhere = 1\n@type far = f64\n")
    client = start()
    text = ("@import other.qrn\n@type port_t = i32\n@schema Server {\n  port: port_t\n"
            "  host*: string\n}\nport = 80\n")
    uri = client.open(workspace.root / "sym.qrn", text)
    symbols = client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})
    assert [(s["name"], s["kind"]) for s in symbols] == [
        ("port_t", 26), ("Server", 23), ("port", 7)]
    server = symbols[1]
    assert server["range"] == rng(2, 0, 1, end_line=5)
    assert server["selectionRange"] == rng(2, 8, 14)
    assert [(f["name"], f["kind"], f["detail"]) for f in server["children"]] == [
        ("port", 8, "port_t"), ("host", 8, "string (optional)")]
    assert server["children"][1]["selectionRange"] == rng(4, 2, 6)
    assert symbols[2]["detail"] == "80"
    # A client without hierarchical symbols gets a flat list; fields name their schema.
    flat = start(capabilities={"textDocument": {"documentSymbol": {
        "hierarchicalDocumentSymbolSupport": False}}})
    uri = flat.open(workspace.root / "sym.qrn", text)
    symbols = flat.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})
    assert [(s["name"], s.get("containerName")) for s in symbols] == [
        ("port_t", None), ("Server", None), ("port", "Server"), ("host", "Server"),
        ("port", None)]
    assert symbols[3]["location"] == {"uri": uri, "range": rng(4, 2, 6)}


# --- completion -----------------------------------------------------------------------

def test_completion(start, workspace):
    workspace.write("base.qrn", "@schema Point { x: f64 }\n@schema Line { a: Point }\n")
    client = start()
    text = (SCHEMA + "@\n@schema P { at: phys\n}\n@type t = \n@derive \"base.qrn\"::\n"
            "@schema Q { q: \n}\n")
    uri = client.open(workspace.root / "c.qrn", text)
    client.diagnostics(uri)

    directives = client.at("textDocument/completion", uri, 2, 1)
    assert labels(directives) == ["@import", "@type", "@schema", "@derive"]
    assert directives["items"][0]["textEdit"]["range"] == rng(2, 0, 1)

    field = client.at("textDocument/completion", uri, 3, 20)
    names = labels(field)
    assert {"port_t", "Server", "i32", "list<…>", "time::datetime", "math::vector3",
            "physics::meter", "physics::nauticalMile"} <= set(names)
    assert len([n for n in names if n.startswith("physics::")]) == 130
    assert len([n for n in names if n.startswith("time::")]) == 6
    assert field["items"][0]["textEdit"]["range"] == rng(3, 16, 20)  # replaces "phys"
    after_blank = client.at("textDocument/completion", uri, 7, 15)  # "q: " ends the line
    assert "i32" in labels(after_blank)
    assert after_blank["items"][0]["textEdit"]["range"] == rng(7, 15, 15)

    alias = labels(client.at("textDocument/completion", uri, 5, 10))
    assert "i32" in alias and "port_t" not in alias  # a definition names built-in types
    derived = client.at("textDocument/completion", uri, 6, 20)
    assert labels(derived) == ["Line", "Point"]
    assert labels(client.at("textDocument/completion", uri, 1, 10)) == []  # a schema's name
    snippets = start(capabilities={"textDocument": {"completion": {"completionItem": {
        "snippetSupport": True}}}})
    uri = snippets.open(workspace.root / "c.qrn", text)
    schema = snippets.at("textDocument/completion", uri, 2, 1)["items"][2]
    assert (schema["insertTextFormat"], schema["textEdit"]["newText"]) == (
        2, "@schema ${1:Name} { $0 }")


# --- cancellation ---------------------------------------------------------------------

def test_cancel_answers_the_request_with_request_cancelled(start, workspace):
    client = start()
    big = "".join(f"key_{i} = value {i}\n" for i in range(200_000))
    uri = client.open(workspace.root / "big.qrn", big)
    request = client.request_async("textDocument/documentSymbol", {"textDocument": {"uri": uri}})
    client.notify("$/cancelRequest", {"id": request})
    with pytest.raises(ServerError) as cancelled:
        client.result(request, timeout=60)
    assert cancelled.value.code == -32800
    client.notify("$/cancelRequest", {"id": 12345})  # unknown: ignored
    assert client.at("textDocument/hover", uri, 0, 1, timeout=60) is not None


# --- files read from disk, resources ---------------------------------------------------

def test_a_byte_order_mark_in_an_imported_file_is_no_column(start, workspace):
    workspace.write("inc.qrn", "\ufeffbroken = \nnope\n")
    client = start()
    uri = client.open(workspace.root / "app.qrn", "@import inc.qrn\n")
    [d] = client.diagnostics(uri)
    assert d["relatedInformation"][0]["location"] == {"uri": workspace.uri("inc.qrn"),
                                                      "range": rng(1, 0, 4)}
    workspace.write("inc.qrn", "\ufeffnope\n")
    client.notify("workspace/didChangeWatchedFiles",
                  {"changes": [{"uri": workspace.uri("inc.qrn"), "type": 2}]})
    [d] = client.diagnostics(uri)
    assert d["relatedInformation"][0]["location"]["range"] == rng(0, 0, 4)


def test_unusable_working_directories_are_reported_a_bounded_number_of_times(start):
    client = start()
    for i in range(40):
        for name in ("a.qrn", "b.qrn"):  # two documents of one directory: one report
            uri = client.open(f"/nonexistent-qern-dir/{i}/{name}", "a = 1\n")
            client.diagnostics(uri)
            client.notify("textDocument/didClose", {"textDocument": {"uri": uri}})
    assert client.request("shutdown") is None
    reports = [m["params"]["message"] for _, m in client.pending
               if m.get("method") == "window/logMessage"]
    assert len(reports) == 17
    assert all("/nonexistent-qern-dir/" in r for r in reports[:16])
    assert "not reported one by one" in reports[16]


def resident_bytes(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS:"))


def test_memory_goes_back_once_the_last_document_is_closed(start, workspace):
    client = start()
    pid = client.proc.pid
    with open(f"/proc/{pid}/maps") as maps:
        if "asan" in maps.read():
            pytest.skip("the sanitizers' allocator keeps freed memory on purpose")
    before = resident_bytes(pid)
    text = "".join(f"key_{i} = value number {i}\n" for i in range(330_000))  # 10 MB
    uri = client.open(workspace.root / "big.qrn", text)
    client.diagnostics(uri, 1, timeout=120)
    # The check's document and the syntax tree: the memory held is well above the goal.
    assert client.at("textDocument/definition", uri, 5, 1, timeout=120) is not None
    assert resident_bytes(pid) > before + 48 * 2**20
    client.notify("textDocument/didClose", {"textDocument": {"uri": uri}})
    client.notification("textDocument/publishDiagnostics",
                        lambda p: p["uri"] == uri and p["diagnostics"] == [])
    deadline = time.monotonic() + 30
    while resident_bytes(pid) > before + 32 * 2**20:
        assert time.monotonic() < deadline, (before, resident_bytes(pid))
        time.sleep(0.1)


# --- the server reads a text as the core does ------------------------------------------

def test_an_import_path_keeps_the_blanks_inside_its_quotes(start, workspace):
    workspace.write("base.qrn", "@schema Point { x: f64 }\nk = 1\n")
    client = start()
    uri = client.open(workspace.root / "i.qrn", '@import " base.qrn "\n')
    [io] = client.diagnostics(uri)
    assert io["code"] == "io"
    # The file the core failed to read is " base.qrn ", not base.qrn.
    assert client.at("textDocument/definition", uri, 0, 12) is None
    shown = hover_text(client, uri, 0, 12)
    assert shown.startswith(f"`{workspace.root / ' base.qrn '}`")
    assert "base.qrn`" not in shown.replace(" base.qrn `", "")


def test_a_derive_path_in_quotes_completes_with_the_schemas_of_its_base(start, workspace):
    workspace.write("base.qrn", "@schema Point { x: f64 }\n@schema Line { a: Point }\n")
    client = start()
    uri = client.open(workspace.root / "d.qrn", '@derive " base.qrn "::\n')
    assert client.diagnostics(uri) == []
    assert labels(client.at("textDocument/completion", uri, 0, 22)) == ["Line", "Point"]


def test_a_schema_in_a_block_is_named_where_its_name_is_written(start, workspace):
    client = start(options={"strict": True, "debounceMs": 10})
    text = "@schema a {\n    x: i32\n}\n@schema b { f: a }\n@schema ema {\n    y: a\n}\n" \
           "@schema ema {\n    y: b\n}\n"
    uri = client.open(workspace.root / "s.qrn", text)
    [redefined] = client.diagnostics(uri)
    assert redefined["code"] == "redefined-schema"
    assert redefined["range"] == rng(7, 8, 11)
    assert redefined["relatedInformation"][0]["location"]["range"] == rng(4, 8, 11)
    symbols = client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})
    assert symbols[0]["selectionRange"] == rng(0, 8, 9)
    assert symbols[0]["range"] == rng(0, 0, 1, end_line=2)
    assert client.at("textDocument/definition", uri, 3, 15) == {"uri": uri,
                                                                 "range": rng(0, 8, 9)}
    assert client.at("textDocument/definition", uri, 5, 7) == {"uri": uri,
                                                                "range": rng(0, 8, 9)}


# --- formatting -----------------------------------------------------------------------

def apply_edits(text, edits):
    """The text after the edits, their positions counted in UTF-16 code units."""
    def offset(position):
        lines = text.split("\n")
        before = sum(len(line) + 1 for line in lines[:position["line"]])
        units, line = 0, lines[position["line"]]
        for i, ch in enumerate(line):
            if units >= position["character"]:
                return before + i
            units += 2 if ord(ch) > 0xFFFF else 1
        return before + len(line)
    for edit in sorted(edits, key=lambda e: (e["range"]["start"]["line"],
                                             e["range"]["start"]["character"]), reverse=True):
        start, end = offset(edit["range"]["start"]), offset(edit["range"]["end"])
        assert start <= end
        text = text[:start] + edit["newText"] + text[end:]
    return text


def formatted_by_qern_fmt(text):
    run = subprocess.run([server_command()[0], "fmt", "-"], input=text.encode(),
                         capture_output=True, check=True)
    return run.stdout.decode()


def formatting(client, uri):
    return client.request("textDocument/formatting", {
        "textDocument": {"uri": uri}, "options": {"tabSize": 4, "insertSpaces": True}})


@pytest.mark.parametrize("text", [
    "😀é = 1   # 😀\n\n\n\nb=2\n  @schema S {\n x: i32, y*: string\n  }\n\n",
    "k = 😀\r\n\r\n\r\n  j=中  \r\n",       # CRLF stays
    "a = 1\nb =   2",                            # only the last line changes
    "x = 1\n   \n\n",                           # only blank lines at the end go
])
def test_formatting_gives_the_text_qern_fmt_writes(start, workspace, text):
    client = start()
    uri = client.open(workspace.root / "f.qrn", text)
    edits = formatting(client, uri)
    expected = formatted_by_qern_fmt(text)
    assert expected != text
    assert apply_edits(text, edits) == expected
    client.change(uri, expected, 2)
    assert formatting(client, uri) == []  # already laid out


def test_a_text_that_does_not_parse_is_not_formatted(start, workspace):
    client = start()
    uri = client.open(workspace.root / "f.qrn", "a=1\nbroken\n")
    assert formatting(client, uri) == []
    logged = client.notification("window/logMessage",
                                 lambda p: "not formatting" in p["message"])
    assert "Missing assignment operator" in logged["message"]


# --- quick fixes -----------------------------------------------------------------------

def code_actions(client, uri, start, end, **context):
    return client.request("textDocument/codeAction", {
        "textDocument": {"uri": uri},
        "range": {"start": {"line": start[0], "character": start[1]},
                  "end": {"line": end[0], "character": end[1]}},
        "context": {"diagnostics": [], **context}})


def test_each_hint_is_a_quick_fix_and_part_of_the_message(start, workspace):
    client = start(options={"strict": True, "debounceMs": 10})
    # 😀 is two UTF-16 units: the fix's range counts them.
    text = "@imprt x.qrn\n@schema S { 😀workers: i23 }\n😀wokers = 3\n"
    uri = client.open(workspace.root / "h.qrn", text)
    found = client.diagnostics(uri)
    assert [(d["code"], d["message"].split("\n")[1:]) for d in found] == [
        ("unknown-directive", ["help: did you mean '@import'?"]),
        ("unknown-type", ["help: did you mean 'i32'?"]),
        ("unknown-field", ["help: did you mean '😀workers'?"]),
    ]
    [fix] = code_actions(client, uri, (1, 24), (1, 24))  # the cursor inside `i23`
    assert fix["title"] == "Replace with 'i32'"
    assert fix["kind"] == "quickfix" and fix["isPreferred"]
    assert fix["diagnostics"] == [found[1]]
    assert fix["edit"] == {"changes": {uri: [{"range": rng(1, 23, 26), "newText": "i32"}]}}
    [fix] = code_actions(client, uri, (2, 0), (2, 1))
    assert fix["edit"]["changes"][uri] == [{"range": rng(2, 0, 8), "newText": "😀workers"}]
    # A range over all of it: every fix; another kind asked for: none.
    whole = code_actions(client, uri, (0, 0), (3, 0))
    assert [a["title"] for a in whole] == [
        "Replace with '@import'", "Replace with 'i32'", "Replace with '😀workers'"]
    assert code_actions(client, uri, (0, 0), (3, 0), only=["refactor"]) == []
    assert len(code_actions(client, uri, (0, 0), (3, 0), only=["quickfix"])) == 3
    assert code_actions(client, uri, (3, 0), (3, 0)) == []


def test_a_fix_for_an_alias_edits_the_file_that_declares_it(start, workspace):
    types = workspace.write("types.qrn", "@type size_t = physics::bytes\n")
    client = start()
    uri = client.open(workspace.root / "app.qrn",
                      "@import types.qrn\n@schema S { max_body: size_t }\nmax_body = 5\n")
    [d] = client.diagnostics(uri)
    assert d["message"].endswith("\nhelp: types.qrn:1:16: did you mean 'physics::byte'?")
    [fix] = code_actions(client, uri, (2, 11), (2, 11))
    assert fix["edit"] == {"changes": {types.as_uri(): [
        {"range": rng(0, 15, 29), "newText": "physics::byte"}]}}


def test_a_code_action_request_without_a_range_is_invalid(start, workspace):
    client = start()
    uri = client.open(workspace.root / "a.qrn", "a = 1\n")
    with pytest.raises(ServerError) as error:
        client.request("textDocument/codeAction", {"textDocument": {"uri": uri}, "context": {}})
    assert error.value.code == -32602
