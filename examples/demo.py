"""A tour of qern_native over the .qrn files beside this script, shown as a session.

Run from the repository root, with the module importable:
    python examples/demo.py
"""

import os
import pathlib
import pprint

import qern_native
from qern_native import QERN

# @import and @derive paths are taken against the working directory, and the example files
# name each other by bare file name.
os.chdir(pathlib.Path(__file__).resolve().parent)

session = {"QERN": QERN}


def section(title):
    print(f"\n# {title}")


def run(source):
    """Prints `source` and its outcome the way the interactive interpreter would."""
    print(f">>> {source}")
    statement = False
    try:
        code = compile(source, "<demo>", "eval")
    except SyntaxError:  # a statement, such as an assignment: no value to show
        code = compile(source, "<demo>", "exec")
        statement = True
    try:
        result = eval(code, session)
    except RuntimeError as error:
        print(f"RuntimeError: {error}")
    else:
        if not statement:
            print(pprint.pformat(result, width=96, sort_dicts=False))


print(f"qern_native {qern_native.__version__}")

section("app.qrn imports common.qrn and derives the Point and Server schemas from base.qrn")
run('cfg = QERN.load("app.qrn")')
run("cfg")
run("dict(sorted(cfg.to_dict().items()))")

section("Lookups: forward, reverse as a fallback, and along key -> value -> key chains")
run('cfg.find_obj("host")')
run('cfg.find_obj("example.org")')
run('cfg.find_key("8443")')
run('cfg.find_deep("backup")')
run('cfg.find_obj("nosuch")')
run('cfg["workers"]')  # a default taken over from base.qrn
run('"timezone" in cfg')

section("List and inline-object values, parsed on demand")
run('cfg.find_list("tags")')
run('cfg.find_list("host")')
run('dict(sorted(cfg.find_object("origin").items()))')
run('cfg.find_object("tags")')

section("Validation against built-in types and the aliases declared with @type")
run('cfg.validate_value("port_t", cfg["port"])')
run('cfg.validate_value("speed_t", cfg["max_speed"])')
run('cfg.validate_value("when_t", cfg["started"])')
run('cfg.validate_value("color", cfg["accent"])')
run('cfg.validate_value("math::vector3", cfg["axis"])')
run('cfg.validate_value("port_t", "https")')
run('cfg.validate_value("math::vector3", "0, 1")')
run('cfg.validate_value("physics::byte", "1.5")')
run('cfg.validate_value("list<i32>", "[1, two, 3]")')
run('cfg.validate_value("nosuch", "1")')

section("Assignments to schema fields are checked; errors read the same everywhere")
run('cfg.merge_content("port = eighty")')
run('cfg.merge_content("origin = { x = 1 }")')
run('QERN.load("broken.qrn")')
run('QERN.load("missing.qrn")')
run('QERN.parse("@derive base.qrn::Nope")')
run('cfg["nosuch"]')

section("A failed merge keeps what came before the error")
run('cfg.merge_content("a = 1\\noops\\nb = 2")')
run('(cfg.find_obj("a"), cfg.find_obj("b"))')
