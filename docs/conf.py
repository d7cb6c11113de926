"""Sphinx configuration of the qern_native documentation (built by ./dev docs)."""

import doctest
import os
import re
import sys

sys.path.insert(0, os.path.abspath("_ext"))

_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
with open(os.path.join(_root, "CMakeLists.txt"), encoding="utf-8") as _f:
    release = version = re.search(r"project\(qern_native VERSION ([0-9.]+)", _f.read()).group(1)

project = "qern_native"
author = "The qern_native developers"
copyright = "2026, The qern_native developers"

extensions = ["sphinx.ext.doctest", "qerndoc"]
exclude_patterns = ["_build", "tools", "_ext"]
highlight_language = "none"
nitpicky = True
nitpick_ignore = [("py:class", name) for name in ("str", "int", "list", "dict", "tuple")] + [
    ("py:obj", "None"),
]

html_theme = "furo"
html_title = f"qern_native {release}"
html_static_path = ["_static"]
html_css_files = ["qern.css"]
html_show_sourcelink = False
html_copy_source = False

# The physics unit table, printed by the qern_unit_table program (./dev docs writes it).
qern_unit_table = os.environ.get(
    "QERN_UNIT_TABLE", os.path.join(_root, "build", "docs", "units.tsv"))

# Exact comparisons: an error text that drifts fails its example.
doctest_default_flags = doctest.DONT_ACCEPT_TRUE_FOR_1
# Each group of examples runs in a fresh temporary working directory, so that the files an
# example writes (and the @import paths in them) never touch the reader's tree; Python
# files saved there import, as in an interpreter started there, until the group ends.
doctest_global_setup = """
import os as _os, shutil as _shutil, sys as _sys, tempfile as _tempfile
from qern_native import QERN
from qerndoc_runtime import run_example as _qern_example, run_cli as _qern_cli
from qerndoc_runtime import write_file as _qern_write
_qern_home = _os.getcwd()
_qern_dir = _tempfile.mkdtemp(prefix="qern-docs-")
_os.chdir(_qern_dir)
_sys.path.insert(0, _qern_dir)
"""
doctest_global_cleanup = """
_sys.path.remove(_qern_dir)
for _name in [n for n, m in _sys.modules.items()
              if (getattr(m, "__file__", None) or "").startswith(_qern_dir + _os.sep)]:
    del _sys.modules[_name]
_os.chdir(_qern_home)
_shutil.rmtree(_qern_dir)
"""
# Pages replayed as their reader takes them: in one fresh interpreter, in order, with
# nothing run unseen (see docs/_ext/qerndoc.py).
qern_reader_pages = ["tutorial"]
nitpick_ignore_regex = [
    # Python's own names: without intersphinx (the build is offline) they cannot link.
    (r"py:(exc|class|meth)", r"[A-Za-z]*(Error|Exception|Exit)(\..*)?"),
    (r"py:class", r"(threading\.local|types\.MappingProxyType)"),
    (r"py:(class|meth|mod|attr|func)",
     r"(float|bool|dict|datetime|collections\.abc|copy|pickle|tomllib|json)(\..*)?"),
]
