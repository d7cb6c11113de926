"""Incremental text sync: ranged changes applied in the negotiated encoding, in order; a
change that cannot be applied is reported and never guessed at."""

import pytest

from lsp_client import ServerError


def at(line, character):
    return {"line": line, "character": character}


def ranged(start, end, text):
    return {"range": {"start": at(*start), "end": at(*end)}, "text": text}


def edit(client, uri, version, *changes):
    client.notify("textDocument/didChange", {
        "textDocument": {"uri": uri, "version": version}, "contentChanges": list(changes)})


def symbols(client, uri):
    return client.request("textDocument/documentSymbol", {"textDocument": {"uri": uri}})


def opened(start, workspace, text):
    """A server with one document open and checked: the client and the document's URI."""
    client = start()
    uri = client.open(workspace.root / "doc.qrn", text)
    client.diagnostics(uri, 1)
    return client, uri


def expect_text(client, workspace, uri, version, expected):
    """The document, once checked at `version`, reads as `expected` would when opened
    afresh: the same keys, values and places."""
    client.diagnostics(uri, version)
    fresh = client.open(workspace.root / "expected.qrn", expected)
    assert symbols(client, uri) == symbols(client, fresh)
    client.notify("textDocument/didClose", {"textDocument": {"uri": fresh}})


def expect_out_of_step(client, uri, version):
    """A change that cannot be applied: logged as an error, diagnostics cleared, requests
    refused; ranged changes wait for a whole text, which brings the document back."""
    log = client.notification("window/logMessage", lambda p: uri in p["message"])
    assert log["type"] == 1 and "could not be applied" in log["message"]
    client.notification("textDocument/publishDiagnostics",
                        lambda p: p["uri"] == uri and p["diagnostics"] == [])
    with pytest.raises(ServerError) as refused:
        symbols(client, uri)
    assert refused.value.code == -32801
    edit(client, uri, version + 1, ranged((0, 0), (0, 0), "x = 1\n"))
    edit(client, uri, version + 2, {"text": "a = 1\nbroken\n"}, ranged((0, 4), (0, 5), "2"))
    assert len(client.diagnostics(uri, version + 2)) == 1
    assert symbols(client, uri)[0]["detail"] == "2"


def test_sync_is_announced_as_incremental(start):
    client = start(initialize=False)
    assert client.initialize()["capabilities"]["textDocumentSync"]["change"] == 2


def test_ranges_count_utf16_units(start, workspace):
    client, uri = opened(start, workspace, "é😀x = 1\nb = 中\n")
    edit(client, uri, 2, ranged((0, 3), (0, 4), "y"), ranged((1, 4), (1, 5), "😀中"))
    expect_text(client, workspace, uri, 2, "é😀y = 1\nb = 😀中\n")


def test_changes_apply_in_order(start, workspace):
    client, uri = opened(start, workspace, "a = 1\nb = 2\nc = 3\n")
    edit(client, uri, 2, ranged((1, 4), (1, 5), "20"), ranged((0, 0), (1, 0), ""),
         ranged((0, 0), (0, 0), "x = 0\n"), ranged((2, 0), (2, 1), "d"))
    expect_text(client, workspace, uri, 2, "x = 0\nb = 20\nd = 3\n")


def test_crlf_and_lone_cr_lines(start, workspace):
    client, uri = opened(start, workspace, "a = 1\r\nb = 2\r\n")
    edit(client, uri, 2, ranged((1, 4), (1, 5), "3"), ranged((0, 5), (1, 0), "\r\nc = 4\r\n"))
    expect_text(client, workspace, uri, 2, "a = 1\r\nc = 4\r\nb = 3\r\n")
    # A lone CR ends a line for the editor, not for the language.
    edit(client, uri, 3, ranged((1, 0), (1, 0), "x = 5\r"), ranged((2, 4), (2, 5), "9"))
    expect_text(client, workspace, uri, 3, "a = 1\r\nx = 5\rc = 9\r\nb = 3\r\n")
    # Joining a CR to a LF makes one line break of two.
    edit(client, uri, 4, ranged((1, 5), (2, 0), "\r"), ranged((2, 0), (2, 0), "\n"))
    expect_text(client, workspace, uri, 4, "a = 1\r\nx = 5\r\nc = 9\r\nb = 3\r\n")


def test_changes_at_the_end_of_the_document(start, workspace):
    client, uri = opened(start, workspace, "a = 1")
    edit(client, uri, 2, ranged((0, 5), (0, 5), "\nb = 2"), ranged((1, 5), (1, 5), "\n"),
         ranged((2, 0), (2, 0), "c = 3\n"))
    expect_text(client, workspace, uri, 2, "a = 1\nb = 2\nc = 3\n")
    edit(client, uri, 3, ranged((0, 0), (3, 0), ""), ranged((0, 0), (0, 0), "d = 4"))
    expect_text(client, workspace, uri, 3, "d = 4")


@pytest.mark.parametrize("text, start_at, end_at", [
    ("a = 1\nb = 2\n", (0, 3), (0, 1)),    # reversed
    ("a = 1\nb = 2\n", (1, 2), (0, 4)),    # reversed across lines
    ("a = 1\nb = 2\n", (3, 0), (3, 0)),    # past the last line
    ("a = 1\nb = 2\n", (0, 4), (0, 6)),    # past the end of the line
    ("a = 1\r\nb = 2\n", (0, 5), (0, 6)),  # inside a line break
    ("😀 = 1\n", (0, 1), (0, 1)),          # inside a surrogate pair
])
def test_a_range_outside_the_text_is_an_error_and_never_guessed_at(start, workspace, text,
                                                                    start_at, end_at):
    client, uri = opened(start, workspace, text)
    edit(client, uri, 2, ranged((0, 0), (0, 1), "z"), ranged(start_at, end_at, "q"))
    expect_out_of_step(client, uri, 2)


def test_a_malformed_change_puts_the_document_out_of_step(start, workspace):
    client, uri = opened(start, workspace, "a = 1\n")
    edit(client, uri, 2, {"range": {"start": at(0, 0)}, "text": "x"})
    expect_out_of_step(client, uri, 2)


def test_utf8_ranges_count_bytes(start, workspace):
    client = start(initialize=False)
    client.initialize(capabilities={"general": {"positionEncodings": ["utf-8"]}},
                      options={"debounceMs": 10})
    uri = client.open(workspace.root / "u8.qrn", "é = 1\n")
    client.diagnostics(uri, 1)
    edit(client, uri, 2, ranged((0, 2), (0, 2), "x"))
    expect_text(client, workspace, uri, 2, "éx = 1\n")
    edit(client, uri, 3, ranged((0, 1), (0, 1), "y"))  # inside é
    expect_out_of_step(client, uri, 3)


def test_versions_are_echoed_exactly_whatever_their_size(start, workspace):
    client = start()
    big = 2**63 + 7
    uri = client.open(workspace.root / "v.qrn", "a = 1\n", version=big)
    assert client.notification("textDocument/publishDiagnostics",
                               lambda p: p["uri"] == uri)["version"] == big
    edit(client, uri, 2**64 - 1, ranged((0, 4), (0, 5), "2"))
    assert client.notification("textDocument/publishDiagnostics",
                               lambda p: p["uri"] == uri)["version"] == 2**64 - 1
    edit(client, uri, -3, ranged((0, 4), (0, 5), "3"))
    assert client.notification("textDocument/publishDiagnostics",
                               lambda p: p["uri"] == uri)["version"] == -3
