import os
from pathlib import Path

import pytest

from lsp_client import Client, server_command


def pytest_collection_modifyitems(config, items):
    if not Path(server_command()[0]).exists():
        skip = pytest.mark.skip(reason=f"no server binary at {server_command()[0]} (set QERN_BIN)")
        for item in items:
            item.add_marker(skip)


@pytest.fixture
def workspace(tmp_path):
    """A folder of files; `workspace.write(name, text)` adds one."""
    class Workspace:
        root = tmp_path

        def write(self, name, text):
            path = tmp_path / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(text, encoding="utf-8")
            return path

        def uri(self, name):
            return (tmp_path / name).as_uri()

    return Workspace()


@pytest.fixture
def start(workspace):
    """Starts `qern lsp` in the workspace and initializes it; every server is stopped after
    the test."""
    clients = []

    def start(initialize=True, cwd=None, answer_requests=None, **params):
        client = Client(cwd=cwd or os.fspath(workspace.root), answer_requests=answer_requests)
        clients.append(client)
        if initialize:
            params.setdefault("root", workspace.root)
            options = params.pop("options", {})
            options.setdefault("debounceMs", 10)
            client.initialize(options=options, **params)
        return client

    yield start
    # The server writes nothing to stderr; under a sanitizer, a report would be there.
    reports = [client.close() for client in clients]
    assert [r for r in reports if r] == []
