"""The Neovim recipes of docs/editors.rst, run as they are shown in a headless nvim."""

import json
import os
import re
import shutil
import subprocess

import pytest

from conftest import code_block

NVIM = shutil.which("nvim")

# Run after the recipe and the file: waits for the file's diagnostics, then writes what
# the editor holds to $QERN_NVIM_OUT.
PROBE = """
local buf = vim.api.nvim_get_current_buf()
vim.wait(tonumber(os.getenv("QERN_NVIM_WAIT")), function()
  return #vim.diagnostic.get(buf) > 0
end, 20)
local clients = {}
for _, c in ipairs((vim.lsp.get_clients or vim.lsp.get_active_clients)()) do
  if vim.lsp.buf_is_attached(buf, c.id) then table.insert(clients, c.name) end
end
local diagnostics = {}
for _, d in ipairs(vim.diagnostic.get(buf)) do
  table.insert(diagnostics, { line = d.lnum, column = d.col, message = d.message })
end
vim.fn.writefile({ vim.fn.json_encode({
  filetype = vim.bo[buf].filetype,
  clients = clients,
  diagnostics = diagnostics,
  messages = vim.api.nvim_exec("messages", true),
}) }, os.getenv("QERN_NVIM_OUT"))
vim.cmd("qa!")
"""


def nvim_version():
    out = subprocess.run([NVIM, "--version"], capture_output=True, text=True).stdout
    return tuple(int(n) for n in re.match(r"NVIM v(\d+)\.(\d+)", out).groups())


def open_in_nvim(tmp_path, qern, recipe, wait_ms):
    """Opens a file with an error in a headless nvim configured by `recipe` alone."""
    (tmp_path / "init.lua").write_text(recipe)
    (tmp_path / "probe.lua").write_text(PROBE)
    (tmp_path / "bad.qrn").write_text("a = 1\nbroken\n")
    home = tmp_path / "home"
    env = {**os.environ, "PATH": f"{qern.parent}{os.pathsep}{os.environ['PATH']}",
           "HOME": str(home), "XDG_CONFIG_HOME": str(home / "config"),
           "XDG_DATA_HOME": str(home / "data"), "XDG_STATE_HOME": str(home / "state"),
           "XDG_CACHE_HOME": str(home / "cache"), "QERN_NVIM_WAIT": str(wait_ms),
           "QERN_NVIM_OUT": str(tmp_path / "out.json")}
    subprocess.run([NVIM, "--headless", "-n", "-i", "NONE", "-u", "init.lua", "bad.qrn",
                    "-c", "luafile probe.lua"], cwd=tmp_path, env=env, timeout=60,
                   stdin=subprocess.DEVNULL, capture_output=True)
    return json.loads((tmp_path / "out.json").read_text())


needs_nvim = pytest.mark.skipif(NVIM is None, reason="no nvim on PATH (Debian: apt-get install "
                                "neovim)")


@needs_nvim
@pytest.mark.parametrize("caption, since", [("init.lua (Neovim 0.7)", (0, 7)),
                                            ("init.lua (Neovim 0.8 and later)", (0, 8))])
def test_a_recipe_attaches_the_server_and_shows_its_diagnostics(tmp_path, qern, caption, since):
    if nvim_version() < since:
        pytest.skip(f"nvim {nvim_version()} is older than this recipe needs")
    seen = open_in_nvim(tmp_path, qern, code_block("editors.rst", caption), 20000)
    assert (seen["filetype"], seen["clients"]) == ("qern", ["qern"]), seen
    assert [(d["line"], d["column"]) for d in seen["diagnostics"]] == [(1, 0)], seen
    assert seen["diagnostics"][0]["message"].startswith("Parse Error at line 2: 'broken'")


@needs_nvim
def test_the_recipe_for_neovim_0_8_says_so_on_an_older_one(tmp_path, qern):
    if nvim_version() >= (0, 8):
        pytest.skip("this nvim runs the recipe")
    recipe = code_block("editors.rst", "init.lua (Neovim 0.8 and later)")
    seen = open_in_nvim(tmp_path, qern, recipe, 500)
    assert seen["clients"] == [] and "needs Neovim 0.8 or later" in seen["messages"], seen
