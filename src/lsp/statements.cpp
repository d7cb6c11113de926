#include "lsp/statements.hpp"

#include "qern/parsing.hpp"
#include "qern/text.hpp"

namespace qern::lsp {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Offset of `part` (a view into `whole`) within `whole`.
std::size_t at(std::string_view whole, std::string_view part) {
    return static_cast<std::size_t>(part.data() - whole.data());
}

struct BraceCount {
    std::size_t open = 0;
    std::size_t close = 0;
    void add(std::string_view s) {
        for (const char c : s) {
            open += c == '{';
            close += c == '}';
        }
    }
};

struct Statement {
    std::size_t first = 0;
    std::size_t last = 0;
};

// The lines of the statement holding `target`, as the parser groups them: a directive
// with more '{' than '}' collects the following lines until they balance.
Statement statement_at(const SourceText& text, std::size_t target) {
    bool open = false;
    std::size_t start = 0;
    BraceCount braces;
    for (std::size_t n = 1; n <= text.line_count(); ++n) {
        const std::string_view line = trim(strip_comment(text.line(n)));
        if (!open) {
            if (!line.empty() && line.front() == '@') {
                BraceCount count;
                count.add(line);
                if (count.open > count.close) {
                    open = true;
                    start = n;
                    braces = count;
                    continue;
                }
            }
            if (n == target) return {n, n};
            if (n > target) break;
            continue;
        }
        braces.add(line);
        if (braces.close >= braces.open) {
            open = false;
            if (target >= start && target <= n) return {start, n};
        }
    }
    if (open && target >= start) return {start, text.line_count()};
    return {target, target};
}

// The trimmed part of `region`, or an empty piece at the cursor when it falls on a blank
// outside it.
Cursor piece(Role role, std::string_view line_text, std::size_t line, std::string_view region,
             std::size_t byte) {
    const std::string_view t = trim(region);
    const std::size_t begin = at(line_text, t);
    Cursor c;
    c.role = role;
    if (byte >= begin && byte <= begin + t.size()) {
        c.token = t;
        c.span = {line, begin, begin + t.size()};
        c.offset = byte - begin;
    } else {
        c.token = line_text.substr(byte, 0);
        c.span = {line, byte, byte};
    }
    return c;
}

bool within(std::string_view line_text, std::string_view region, std::size_t byte) {
    const std::size_t begin = at(line_text, region);
    return byte >= begin && byte <= begin + region.size();
}

// A directive line split into its name and argument, as the dispatcher splits it.
struct DirectiveParts {
    std::string_view word;  // "@name"
    std::string_view name;
    std::string_view args;  // untrimmed, up to the comment
};

std::optional<DirectiveParts> directive_parts(std::string_view raw) {
    const std::string_view cleaned = trim(strip_comment(raw));
    if (cleaned.empty() || cleaned.front() != '@') return std::nullopt;
    const std::string_view rest = cleaned.substr(1);
    const WhitespaceHit ws = find_whitespace(rest);
    DirectiveParts parts;
    if (ws.pos == npos) {
        parts.word = cleaned;
        parts.args = cleaned.substr(cleaned.size());
    } else {
        parts.word = cleaned.substr(0, 1 + ws.pos);
        parts.args = rest.substr(ws.pos + ws.len);
    }
    parts.name = trim(parts.word.substr(1));
    return parts;
}

// "@import path": the path without one pair of enclosing quotes.
std::string_view import_path(std::string_view args) {
    std::string_view t = trim(args);
    if (t.size() >= 2 && (t.front() == '"' || t.front() == '\'') && t.back() == t.front())
        t = t.substr(1, t.size() - 2);
    return t;
}

// "@derive path::A::B", "@derive \"path\" A": the path, and the text the selected schema
// names are read from (untrimmed, so that a cursor just after "::" falls into it).
struct DeriveParts {
    std::string_view path;
    std::string_view selector;
    bool has_selector = false;
};

DeriveParts derive_parts(std::string_view args) {
    const std::string_view t = trim(args);
    DeriveParts parts{t, {}, false};
    if (!t.empty() && (t.front() == '"' || t.front() == '\'')) {
        const std::size_t close = t.find(t.front(), 1);
        if (close != npos) {
            parts.path = t.substr(1, close - 1);
            std::size_t rest = close + 1;
            while (rest < t.size() && t[rest] == ':') ++rest;
            parts.selector = t.substr(rest);
            parts.has_selector = true;
        }
        return parts;
    }
    if (const std::size_t sep = t.find("::"); sep != npos) {
        parts.path = trim(t.substr(0, sep));
        parts.selector = t.substr(sep + 2);
        parts.has_selector = true;
    }
    return parts;
}

Cursor inspect_derive(std::string_view raw, std::size_t line, std::string_view args,
                      std::size_t byte) {
    const DeriveParts parts = derive_parts(args);
    if (within(raw, parts.path, byte)) return piece(Role::DerivePath, raw, line, parts.path, byte);
    if (!parts.has_selector || byte < at(raw, parts.selector)) return {};
    std::string_view selector = parts.selector;
    for (;;) {
        const std::size_t sep = selector.find("::");
        const std::string_view region = selector.substr(0, sep);
        if (within(raw, region, byte)) {
            Cursor c = piece(Role::DeriveSchema, raw, line, region, byte);
            c.path = parts.path;
            return c;
        }
        if (sep == npos) return {};
        selector = selector.substr(sep + 2);
    }
}

Cursor inspect_type(std::string_view raw, std::size_t line, std::string_view args,
                    std::size_t byte) {
    const std::size_t eq = args.find('=');
    if (eq == npos) return piece(Role::TypeName, raw, line, args, byte);
    if (byte <= at(raw, args) + eq)
        return piece(Role::TypeName, raw, line, args.substr(0, eq), byte);
    return piece(Role::TypeDefinition, raw, line, args.substr(eq + 1), byte);
}

// The region of each line of a @schema statement that its body can occupy: after the
// first '{' and up to the last '}'.
struct BodyLine {
    std::size_t line;
    std::string_view raw;
    std::string_view body;
};

std::vector<BodyLine> schema_body(const SourceText& text, std::size_t first, std::size_t last,
                                  std::string_view* name_region) {
    std::vector<BodyLine> lines;
    for (std::size_t n = first; n <= last; ++n) {
        const std::string_view raw = text.line(n);
        std::string_view region = strip_comment(raw);
        if (n == first) {
            const auto parts = directive_parts(raw);
            if (!parts) return {};
            const std::size_t brace = parts->args.find('{');
            if (name_region != nullptr) *name_region = parts->args.substr(0, brace);
            if (brace == npos) return {};
            // To the end of the line, blanks included: a cursor after "name: " is inside.
            region = region.substr(at(raw, parts->args) + brace + 1);
        }
        lines.push_back({n, raw, region});
    }
    // The body ends at the statement's last '}'.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        const std::size_t close = it->body.rfind('}');
        if (close == npos) continue;
        it->body = it->body.substr(0, close);
        lines.erase(it.base(), lines.end());
        break;
    }
    return lines;
}

struct Word {
    std::size_t line;
    std::string_view raw;
    std::string_view text;
};

// The body's words: split at commas and blanks, as the schema directive splits them.
std::vector<Word> body_words(const std::vector<BodyLine>& lines) {
    std::vector<Word> words;
    for (const BodyLine& l : lines) {
        std::string_view rest = l.body;
        while (!rest.empty()) {
            std::size_t skip = 0;
            while (skip < rest.size()) {
                const std::size_t ws = whitespace_at(rest, skip);
                if (ws != 0) {
                    skip += ws;
                } else if (rest[skip] == ',') {
                    ++skip;
                } else {
                    break;
                }
            }
            rest = rest.substr(skip);
            std::size_t end = 0;
            while (end < rest.size() && rest[end] != ',' && whitespace_at(rest, end) == 0) ++end;
            if (end > 0) words.push_back({l.line, l.raw, rest.substr(0, end)});
            rest = rest.substr(end);
        }
    }
    return words;
}

std::vector<FieldPlace> fields_of(const std::vector<Word>& words) {
    std::vector<FieldPlace> fields;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const Word& w = words[i];
        const std::size_t begin = at(w.raw, w.text);
        FieldPlace f;
        const std::size_t colon = w.text.find(':');
        std::string_view name = w.text.substr(0, colon);
        while (!name.empty() && name.back() == '*') name.remove_suffix(1);
        f.name = name;
        f.name_span = {w.line, begin, begin + name.size()};
        if (colon != npos) {
            const std::string_view type = w.text.substr(colon + 1);
            if (!type.empty()) {
                f.type = type;
                f.type_span = {w.line, begin + colon + 1, begin + w.text.size()};
            } else if (i + 1 < words.size()) {
                const Word& next = words[++i];
                f.type = next.text;
                const std::size_t b = at(next.raw, next.text);
                f.type_span = {next.line, b, b + next.text.size()};
            } else {
                f.expects_type = true;
                f.type_span = {w.line, begin + w.text.size(), begin + w.text.size()};
            }
        }
        fields.push_back(f);
    }
    return fields;
}

bool in_span(const Span& s, std::size_t line, std::size_t byte) {
    return s.line == line && byte >= s.begin && byte <= s.end;
}

Cursor inspect_schema(const SourceText& text, const Statement& st, std::size_t line,
                      std::size_t byte) {
    std::string_view name_region;
    const std::vector<BodyLine> body = schema_body(text, st.first, st.last, &name_region);
    const std::string_view first_raw = text.line(st.first);
    const std::string_view name = trim(name_region);
    if (line == st.first && name_region.data() != nullptr && within(first_raw, name_region, byte))
        return piece(Role::SchemaName, first_raw, line, name_region, byte);
    const std::vector<FieldPlace> fields = fields_of(body_words(body));
    for (const FieldPlace& f : fields) {
        if (in_span(f.name_span, line, byte))
            return Cursor{Role::FieldName, f.name, f.name_span, byte - f.name_span.begin, {}, name};
        if (f.type_span.line != 0 && !f.expects_type && in_span(f.type_span, line, byte))
            return Cursor{Role::FieldType, f.type, f.type_span, byte - f.type_span.begin, {}, name};
    }
    // A blank after "name:" that has no type yet, before the body ends, is where the type
    // goes. Only the body's last word can still expect one.
    if (fields.empty() || !fields.back().expects_type) return {};
    const Span& gap = fields.back().type_span;
    if (line < gap.line || (line == gap.line && byte < gap.end)) return {};
    for (const BodyLine& l : body) {
        if (l.line != line || !within(l.raw, l.body, byte)) continue;
        return Cursor{Role::FieldType, l.raw.substr(byte, 0), {line, byte, byte}, 0, {}, name};
    }
    return {};
}

Cursor inspect_assignment(std::string_view raw, std::size_t line, std::size_t byte) {
    const std::string_view cleaned = strip_comment(raw);
    if (byte > cleaned.size()) return {};
    long depth = 0;
    std::size_t eq = npos;
    for (std::size_t i = 0; i < cleaned.size() && eq == npos; ++i) {
        const char c = cleaned[i];
        if (c == '[' || c == '{') ++depth;
        if (c == ']' || c == '}') --depth;
        if (c == '=' && depth == 0) eq = i;
    }
    if (eq == npos || byte <= eq) return piece(Role::Key, raw, line, cleaned.substr(0, eq), byte);
    return piece(Role::Value, raw, line, cleaned.substr(eq + 1), byte);
}

}  // namespace

Cursor inspect(const SourceText& text, std::size_t line, std::size_t byte) {
    if (line == 0 || line > text.line_count()) return {};
    const std::string_view raw = text.line(line);
    if (byte > strip_comment(raw).size()) return {};  // in a comment
    const Statement st = statement_at(text, line);
    const auto parts = directive_parts(text.line(st.first));
    if (!parts) return inspect_assignment(raw, line, byte);
    if (line == st.first && within(raw, parts->word, byte) &&
        byte < at(raw, parts->word) + parts->word.size() + (parts->args.empty() ? 1 : 0)) {
        return Cursor{Role::Directive,
                      parts->word,
                      {line, at(raw, parts->word), at(raw, parts->word) + parts->word.size()},
                      byte - at(raw, parts->word),
                      {},
                      {}};
    }
    if (parts->name == "schema") return inspect_schema(text, st, line, byte);
    if (line != st.first) return {};
    if (parts->name == "import") {
        const std::string_view path = import_path(parts->args);
        if (!within(raw, trim(parts->args), byte)) return {};
        return piece(Role::ImportPath, raw, line, path, byte);
    }
    if (parts->name == "derive") return inspect_derive(raw, line, parts->args, byte);
    if (parts->name == "type") return inspect_type(raw, line, parts->args, byte);
    return {};
}

std::optional<Span> include_path(const SourceText& text, std::size_t line) {
    const std::string_view raw = text.line(line);
    const auto parts = directive_parts(raw);
    if (!parts) return std::nullopt;
    std::string_view path;
    if (parts->name == "import") {
        path = import_path(parts->args);
    } else if (parts->name == "derive") {
        path = derive_parts(parts->args).path;
    } else {
        return std::nullopt;
    }
    if (path.empty()) return std::nullopt;
    return Span{line, at(raw, path), at(raw, path) + path.size()};
}

std::vector<FieldPlace> schema_fields(const SourceText& text, std::size_t first, std::size_t last) {
    return fields_of(body_words(schema_body(text, first, last, nullptr)));
}

TypePiece type_piece(std::string_view type, std::size_t offset, bool for_completion) {
    if (for_completion) {
        const std::size_t lt = offset == 0 ? npos : type.rfind('<', offset - 1);
        std::size_t begin = lt == npos ? 0 : lt + 1;
        while (begin < offset && whitespace_at(type, begin) != 0)
            begin += whitespace_at(type, begin);
        return {begin, offset};
    }
    std::size_t begin = 0;
    std::size_t end = type.size();
    for (;;) {
        const std::string_view t = trim(type.substr(begin, end - begin));
        begin = at(type, t);
        end = begin + t.size();
        if (t.size() < 6 || !t.starts_with("list<") || !t.ends_with(">")) break;
        if (offset < begin + 5 || offset >= end) break;  // on "list<" itself or the '>'
        begin += 5;
        end -= 1;
    }
    return {begin, end};
}

}  // namespace qern::lsp
