"""Every error message the C++ sources can produce has an entry in the error catalogue.

The message templates are read from the sources: the string literals passed to the calls
that build errors (QernError::parse, ::io, ::invalid_value, ..., schema_error,
derive_error, the limit reasons of MergeContext, concat, the binding's PyErr_Format and
friends). A concat(...) becomes one template, its non-literal pieces written "{}"; printf
conversions become "{}" as well. The catalogue lists its templates in `.. messages::`
blocks of docs/errors.rst. A template counts as documented when its literal fragments
appear, in order, in one listed template: so the pieces of a message that a helper builds
("{}{} levels at '{}'" in the helper, "Files nested deeper than " where it is called) are
both covered by "... Reason: Files nested deeper than 64 levels at '{}'".
"""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SOURCES = ROOT / "src"
CATALOGUE = ROOT / "docs" / "errors.rst"

CODES = [
    "parse", "unknown-directive", "import", "type-directive", "schema-directive", "derive",
    "missing-field", "io", "cycle", "limit", "schema", "unknown-type", "invalid-value",
    "redefined-type", "redefined-schema", "unchecked-key", "field-type-conflict",
    "unresolved-alias", "duplicate-key", "conversion", "unknown-field", "hidden-character",
]

# Calls whose string arguments are message text (matched against the whole qualified name).
MESSAGE_CALL = re.compile(
    r"(?:qern::)?(?:QernError::\w+|schema_error|derive_error|refuse|concat_reason|cycle_reason"
    r"|budget_reason|FieldOutcome::failed|concat|raise_panic|PyErr_Format|PyErr_SetString"
    r"|PyUnicode_FromFormat|PyUnicode_FromString|std::\w+_error)")
PRINTF_CALL = re.compile(r"PyErr_Format|PyUnicode_FromFormat")
# Calls that stand for their argument's text.
TRANSPARENT_CALL = re.compile(r"std::string|std::string_view")
# Texts built by those calls that are no error messages.
NOT_MESSAGES = {
    "QERN({} keys)": "the repr of an instance",
    "FrozenQERN({} keys)": "the repr of a snapshot",
}

TOKEN = re.compile(r"""
    (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<raw>(?:u8|[uUL])?R"(?P<delim>[^(\s]*)\((?P<rawtext>.*?)\)(?P=delim)")
  | (?P<string>(?:u8|[uUL])?"(?P<text>(?:[^"\\\n]|\\.)*)")
  | (?P<char>(?:u8|[uUL])?'(?:[^'\\\n]|\\.)*')
  | (?P<name>[A-Za-z_]\w*(?:\s*::\s*[A-Za-z_]\w*)*)
  | (?P<number>\.?\d(?:[\w.']|[eEpP][+-])*)
  | (?P<space>\s+)
  | (?P<punct>::|->|.)
""", re.VERBOSE | re.DOTALL)

ESCAPE = re.compile(r"\\(u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8}|x[0-9A-Fa-f]+|[0-7]{1,3}|.)", re.DOTALL)
SIMPLE_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'",
                  "?": "?", "a": "\a", "b": "\b", "f": "\f", "v": "\v"}


def unescape(text):
    def one(m):
        e = m.group(1)
        if e[0] in "uU":
            return chr(int(e[1:], 16))
        if e[0] == "x":
            return bytes([int(e[1:], 16)]).decode("latin-1")
        if e[0] in "01234567" and e != "0":
            return chr(int(e, 8))
        return SIMPLE_ESCAPES.get(e, e)
    raw = ESCAPE.sub(one, text)
    # \x escapes spell UTF-8 bytes one by one; put them back together.
    try:
        return raw.encode("latin-1").decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        return raw


def tokenize(source):
    """(kind, value, line): names (qualified names joined), strings (decoded), punctuation."""
    tokens = []
    line = 1
    for m in TOKEN.finditer(source):
        kind = m.lastgroup if m.lastgroup not in ("delim", "rawtext", "text") else None
        text = m.group(0)
        if m.group("comment") is not None or m.group("space") is not None:
            pass
        elif m.group("raw") is not None:
            tokens.append(("string", m.group("rawtext"), line))
        elif m.group("string") is not None:
            tokens.append(("string", unescape(m.group("text")), line))
        elif m.group("name") is not None:
            tokens.append(("name", re.sub(r"\s+", "", text), line))
        elif kind:
            tokens.append((kind, text, line))
        line += text.count("\n")
    return tokens


def string_constants(tokens):
    """NAME -> text for `NAME = "literal";` and `NAME[] = "literal";` definitions."""
    constants = {}
    for i, (kind, value, _) in enumerate(tokens):
        if kind != "name":
            continue
        j = i + 1
        if tokens[j:j + 2] and [t[1] for t in tokens[j:j + 2]] == ["[", "]"]:
            j += 2
        if j + 1 < len(tokens) and tokens[j][1] == "=" and tokens[j + 1][0] == "string":
            k = j + 1
            text = ""
            while k < len(tokens) and tokens[k][0] == "string":
                text += tokens[k][1]
                k += 1
            if k < len(tokens) and tokens[k][1] == ";":
                constants[value] = text
    return constants


def arguments(tokens, open_index):
    """The top-level arguments of the call whose "(" is at open_index, and the index after
    its ")"."""
    depth = 0
    args, current = [], []
    for i in range(open_index, len(tokens)):
        value = tokens[i][1]
        if value in "([{" and tokens[i][0] == "punct":
            depth += 1
            if depth == 1:
                continue
        elif value in ")]}" and tokens[i][0] == "punct":
            depth -= 1
            if depth == 0:
                args.append(current)
                return [a for a in args if a], i + 1
        elif value == "," and depth == 1:
            args.append(current)
            current = []
            continue
        current.append(tokens[i])
    return [a for a in args if a], len(tokens)


def template(arg, constants, printf):
    """The text an argument stands for, with "{}" for what is not literal; None when it has
    no literal text at all."""
    if all(kind == "string" for kind, _, _ in arg):
        text = "".join(value for _, value, _ in arg)
        if printf:
            text = re.sub(r"%(?:z|l|ll|h)?[sdiuxXUSRAVcp]", "{}", text).replace("%%", "%")
        return text
    if len(arg) == 1 and arg[0][0] == "name" and arg[0][1] in constants:
        return constants[arg[0][1]]
    if len(arg) >= 3 and arg[0][0] == "name" and arg[1][1] == "(" and arg[-1][1] == ")":
        inner, end = arguments(arg, 1)
        if end == len(arg):
            name = arg[0][1]
            if re.fullmatch(r"(?:qern::)?concat", name):
                pieces = [template(a, constants, printf) for a in inner]
                if all(p is None for p in pieces):
                    return None
                return "".join("{}" if p is None else p for p in pieces)
            if TRANSPARENT_CALL.fullmatch(name) and len(inner) == 1:
                return template(inner[0], constants, printf)
    return None


def extract(source, path="<text>"):
    """Every message template in one C++ source: a list of (template, "path:line")."""
    tokens = tokenize(source)
    constants = string_constants(tokens)
    found = []
    for i, (kind, value, line) in enumerate(tokens):
        if kind != "name" or not MESSAGE_CALL.fullmatch(value):
            continue
        if i + 1 >= len(tokens) or tokens[i + 1][1] != "(":
            continue
        if i > 0 and tokens[i - 1][1] in ("::", "."):
            continue
        args, end = arguments(tokens, i + 1)
        if re.fullmatch(r"(?:qern::)?concat", value):
            args = [tokens[i:end]]  # one text, made of all its pieces
        printf = bool(PRINTF_CALL.fullmatch(value))
        for arg in args:
            text = template(arg, constants, printf)
            if text is not None and re.search(r"[A-Za-z]", text.replace("{}", "")):
                if all(text != t for t, _ in found):
                    found.append((text, f"{path}:{line}"))
    return found


def catalogued(path):
    """Sources whose messages the catalogue lists: the library's errors, and the warnings of
    the checks. The command line's and the language server's own texts (usage, summaries,
    hovers) are no errors of a configuration."""
    return path.relative_to(SOURCES).parts[0] not in ("cli", "lsp")


def extract_sources():
    found = []
    for path in sorted(SOURCES.rglob("*")):
        if path.suffix in (".cpp", ".hpp", ".h", ".cc") and catalogued(path):
            found += extract(path.read_text(encoding="utf-8"), str(path.relative_to(ROOT)))
    return found


def catalogue_templates(text):
    """The lines of every `.. messages::` block of the catalogue, "\\n" read as a newline."""
    templates = []
    lines = text.splitlines()
    for i, line in enumerate(lines):
        if line.strip() != ".. messages::":
            continue
        for body in lines[i + 1:]:
            if body.strip() and not body.startswith("   "):
                break
            if body.strip():
                templates.append(body.strip().replace("\\n", "\n"))
    return templates


def documented(template, documented_templates):
    fragments = [f for f in template.split("{}") if f]
    pattern = re.compile(".*?".join(re.escape(f) for f in fragments), re.DOTALL)
    return any(pattern.search(doc) for doc in documented_templates)


def undocumented(found, documented_templates):
    return sorted({(t, where) for t, where in found
                   if t not in NOT_MESSAGES and not documented(t, documented_templates)})


@pytest.fixture(scope="module")
def catalogue():
    return CATALOGUE.read_text(encoding="utf-8")


@pytest.fixture(scope="module")
def found():
    return extract_sources()


def test_every_message_in_the_sources_has_a_catalogue_entry(found, catalogue):
    missing = undocumented(found, catalogue_templates(catalogue))
    assert not missing, "messages without an entry in docs/errors.rst:\n" + "\n".join(
        f"  {where}: {t!r}" for t, where in missing)


def test_the_extraction_sees_messages_of_every_kind(found):
    # Guards the extraction itself: were it to find nothing, the test above would pass.
    templates = {t for t, _ in found}
    for expected in [
        "Parse Error at line {}: '{}'. Reason: {}",            # the display forms
        "Schema '{}' validation error: field '{}' (type '{}') \u2014 {}",
        "Missing assignment operator '='",                      # a plain literal argument
        "Unknown directive: @{}",                                # a concat
        "Bad field: '{}:' has no type",                          # schema_error(concat(...))
        "Schema '{}' not found",                                 # derive_error(concat(...))
        "Cycle: '{}' is already being read",                     # a reason helper
        "Files nested deeper than ",                             # a helper's argument
        "Value nested deeper than 256 levels",                   # a named constant
        "{} (os error {})",                                      # the OS error text
        "Expected i32, got '{}'",
        "Empty key in inline object field '{}'",                 # assigned, not returned
        "argument '{}': {}",                                     # printf conversions
        "Already mutably borrowed",
        "too many keys",                                         # an exception's text
    ]:
        assert expected in templates, expected
    assert len(templates) > 60


def test_a_new_message_without_an_entry_is_reported(catalogue):
    fake = '''
        // A comment with "a string" in it, and a char literal: '"'.
        constexpr std::string_view kFake = "Frobnication limit reached";
        Result<void> f(std::string_view v) {
            if (v.empty()) return QernError::invalid_value(concat("Frobnicated ", v,
                                                                  " beyond repair"));
            if (v == "x") return QernError::io(std::string(kFake));
            return schema_error("Expected '{'");
        }
    '''
    found = extract(fake, "fake.cpp")
    assert [t for t, _ in found] == [
        "Frobnicated {} beyond repair", "Frobnication limit reached", "Expected '{'"]
    missing = undocumented(found, catalogue_templates(catalogue))
    assert [t for t, _ in missing] == ["Frobnicated {} beyond repair",
                                       "Frobnication limit reached"]


def test_every_code_has_an_anchor(catalogue):
    labels = set(re.findall(r"^\.\. _([\w-]+):$", catalogue, re.M))
    assert set(CODES) <= labels, sorted(set(CODES) - labels)
    html = ROOT / "build" / "docs" / "html" / "errors.html"
    if html.is_file():  # after ./dev docs: the anchors are the codes themselves
        ids = set(re.findall(r'id="([\w-]+)"', html.read_text(encoding="utf-8")))
        assert set(CODES) <= ids, sorted(set(CODES) - ids)
