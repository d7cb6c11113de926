#include "analysis/format.hpp"

#include <cstring>

#include "qern/rules.hpp"
#include "qern/text.hpp"

namespace qern::analysis {

namespace {

constexpr std::string_view kIndent = "    ";

// The line ending of the whole output: the first one the text has.
std::string_view line_ending_of(const SyntaxTree& tree) {
    for (std::size_t n = 1; n < tree.line_count(); ++n) {
        const std::string_view e = tree.line_ending(n);
        if (!e.empty()) return e;
    }
    return tree.line_count() > 0 && tree.line_ending(tree.line_count()) == "\r\n" ? "\r\n" : "\n";
}

class Writer {
  public:
    Writer(const SyntaxTree& tree, std::string& out)
        : tree_(tree), text_(tree.text()), out_(out), eol_(line_ending_of(tree)) {}

    void run() {
        out_.append(text_.substr(0, tree_.bom()));
        tree_.for_each([&](const SyntaxTree::Entry& e) { statement(e); });
    }

  private:
    std::string_view slice(const Span& s) const { return text_.substr(s.begin, s.size()); }

    // The line's comment without the whitespace after it; empty when it has none.
    std::string_view comment(std::size_t n) const {
        const auto c = tree_.comment(n);
        return c ? trim_end(slice(*c)) : std::string_view();
    }

    // Starts an output line: the blank line a run of blank lines leaves, if one is due.
    void begin_line() {
        if (blank_pending_) out_.append(eol_);
        blank_pending_ = false;
        wrote_ = true;
    }

    // Writes `content` followed by the comment, if `line_text` reads as `expected` that
    // way; false (nothing written) when it does not.
    bool try_line(std::string_view indent, std::string_view content, std::string_view note,
                  std::string_view expected) {
        line_.assign(indent);
        line_.append(content);
        keep_off_mark(line_);
        if (!note.empty()) {
            if (!content.empty()) line_.append("  ");
            line_.append(note);
        }
        if (clean_line(line_) != expected) return false;
        if (!note.empty()) {
            // The comment must still start where it did.
            const std::size_t cut = strip_comment(line_).size();
            if (std::string_view(line_).substr(cut) != note) return false;
        }
        begin_line();
        out_.append(line_);
        out_.append(eol_);
        return true;
    }

    // A first line that would start with the bytes of a byte-order mark, in a text that has
    // none, starts with a blank instead: read again, the mark would be dropped from it.
    void keep_off_mark(std::string& line) const {
        if (!wrote_ && tree_.bom() == 0 && std::string_view(line).starts_with(kByteOrderMark))
            line.insert(0, 1, ' ');
    }

    // One line of the input: `content` (what it should read as, laid out), else the line's
    // content as written, else the line untouched.
    void line(std::size_t n, std::string_view indent, std::string_view content) {
        const std::string_view raw = tree_.line_text(n);
        const std::string_view written = clean_line(raw);
        const std::string_view note = comment(n);
        if (try_line(indent, content, note, content)) return;
        if (content != written && try_line(indent, written, note, written)) return;
        if (try_line({}, written, note, written)) return;
        line_.assign(raw);
        keep_off_mark(line_);
        begin_line();
        out_.append(line_);
        out_.append(eol_);
    }

    void statement(const SyntaxTree::Entry& e) {
        if (e.kind == StatementKind::Blank) {
            blank_pending_ = wrote_;
            return;
        }
        if (e.kind == StatementKind::Comment) {
            begin_line();
            out_.append(comment(e.line));
            out_.append(eol_);
            return;
        }
        if (e.kind == StatementKind::Assignment && !e.block && assignment(e.line)) return;
        const Statement st = tree_.statement(e);
        if (e.block) {
            if (e.kind != StatementKind::Schema || !schema_block(e, st)) block(e);
            return;
        }
        line(e.line, {}, laid_out(st));
    }

    // The common case, an assignment on a line of its own, written in one go where no '#'
    // stands at an edge of its key or value: nothing else can read differently with other
    // whitespace around them (quotes are the same, and a comment's '#' keeps a blank
    // before it and what followed it). False (nothing written) otherwise.
    bool assignment(std::size_t n) {
        const std::string_view raw = tree_.line_text(n);
        const std::string_view stripped = strip_comment(raw);
        AssignmentSyntax a;
        if (split_assignment(trim(stripped), a) != AssignmentFault::None) return false;
        const auto hash_edge = [](std::string_view s) {
            return !s.empty() && (s.front() == '#' || s.back() == '#');
        };
        if (hash_edge(a.key) || hash_edge(a.literal)) return false;
        if (!wrote_ && a.key.starts_with(kByteOrderMark)) return false;
        begin_line();
        out_.append(a.key);
        out_.append(a.literal.empty() ? " =" : " = ");
        out_.append(a.literal);
        if (stripped.size() != raw.size()) {
            out_.append("  ");
            out_.append(trim_end(raw.substr(stripped.size())));
        }
        out_.append(eol_);
        return true;
    }

    // A one-line statement with one blank on each side of its '='.
    std::string_view laid_out(const Statement& st) {
        const std::string_view written = st.content.text;
        if (st.kind == StatementKind::Assignment) {
            AssignmentSyntax a;
            layout_.assign(st.key.text);
            layout_.append(st.literal.text.empty() ? " =" : " = ");
            layout_.append(st.literal.text);
            // Only where it still reads the same.
            if (split_assignment(layout_, a) != AssignmentFault::None || a.key != st.key.text ||
                a.literal != st.literal.text)
                return written;
            return layout_;
        }
        if (st.kind == StatementKind::Type && st.equals.exists()) {
            TypeSyntax t;
            const std::size_t head = st.name.span.begin - st.content.span.begin;
            layout_.assign(written.substr(0, head));
            layout_.append(st.name.text);
            layout_.append(" = ");
            layout_.append(st.definition.text);
            const DirectiveSyntax d = split_directive(layout_);
            if (split_type(d.args, t) != TypeFault::None || t.name != st.name.text ||
                t.definition != st.definition.text)
                return written;
            return layout_;
        }
        return written;
    }

    // A block that is not laid out again: its lines keep their contents, inside it
    // indented by four blanks, a closing brace at the start of the line. Blank lines stay:
    // each is a blank in the joined text.
    void block(const SyntaxTree::Entry& e) {
        for (std::size_t n = e.line; n <= e.end_line; ++n) {
            const std::string_view written = clean_line(tree_.line_text(n));
            if (n == e.line) {
                line(n, {}, written);
            } else if (written.empty() && comment(n).empty()) {
                begin_line();
                out_.append(eol_);
            } else {
                line(n, written.starts_with('}') ? std::string_view() : kIndent, written);
            }
        }
    }

    // A multi-line @schema: '{' on the directive's line, one field a line, '}' alone; each
    // line's comment after the last thing the line holds. Only where the fields are read
    // alike that way: no quotes (they could join lines into one comment), no braces or
    // '#' in the fields, nothing after the closing brace. False when it does not apply.
    bool schema_block(const SyntaxTree::Entry& e, const Statement& st) {
        if (e.fails || !st.close.exists() || !st.name.exists()) return false;
        if (st.content.span.end != st.close.span.end) return false;
        const auto plain = [](std::string_view s) {
            return s.find_first_of("\"'{}#") == std::string_view::npos;
        };
        if (!plain(st.name.text)) return false;
        std::size_t joined = 0;
        for (std::size_t n = e.line; n <= e.end_line; ++n) {
            const std::string_view c = clean_line(tree_.line_text(n));
            if (c.find_first_of("\"'") != std::string_view::npos) return false;
            joined += c.size() + (n == e.line ? 0 : 1);
        }
        // The block's comments are its lines' own: the joined text loses nothing more.
        if (st.content.text.size() != joined) return false;

        // Each field as written: its name token, and its type when that is a token of its
        // own.
        struct Field {
            std::size_t line;
            std::string text;
        };
        std::vector<Field> fields;
        for (const FieldPart& f : st.fields) {
            const Span name = f.marks.exists() && !f.marks.text.empty()
                                  ? Span{f.name.span.begin, f.marks.span.end}
                                  : f.name.span;
            const std::string_view label = slice(name);
            if (f.type.span.begin < name.end || !plain(label) || !plain(f.type.text) ||
                f.type.text.empty())
                return false;
            const std::size_t colon = name.end;
            if (text_[colon] != ':') return false;
            std::string text(label);
            text += ':';
            if (f.type.span.begin != colon + 1) text += ' ';
            text += f.type.text;
            fields.push_back({tree_.position(name.begin).line, std::move(text)});
        }

        // Lay it out into a buffer first: a line that would read differently calls it off.
        const std::size_t saved_out = out_.size();
        const bool saved_blank = blank_pending_, saved_wrote = wrote_;
        const auto call_off = [&] {
            out_.resize(saved_out);
            blank_pending_ = saved_blank;
            wrote_ = saved_wrote;
            return false;
        };
        std::size_t next = 0;
        const std::string_view head = slice({st.content.span.begin, st.name.span.end});
        std::string first(head);
        first += " {";
        const bool first_has_fields = next < fields.size() && fields[next].line == e.line;
        if (!try_line({}, first, first_has_fields ? std::string_view() : comment(e.line), first))
            return call_off();
        // A run of blank lines between two of the block's lines is one blank line; none
        // after '{' or before '}'.
        bool blank = false, inside = false;
        const auto next_line_of_block = [&] {
            blank_pending_ = blank && inside;
            blank = false;
            inside = true;
        };
        for (std::size_t n = e.line; n <= e.end_line; ++n) {
            const std::string_view note = comment(n);
            const bool closing = n == e.end_line;
            std::size_t emitted = 0;
            while (next < fields.size() && fields[next].line == n) {
                const Field& f = fields[next++];
                const bool last_on_line = next >= fields.size() || fields[next].line != n;
                next_line_of_block();
                const std::string_view attach =
                    last_on_line && !closing ? note : std::string_view();
                if (!try_line(kIndent, f.text, attach, f.text)) return call_off();
                ++emitted;
            }
            if (closing) break;
            if (n == e.line) continue;
            if (emitted == 0 && !note.empty()) {
                next_line_of_block();
                if (!try_line(kIndent, {}, note, {})) return call_off();
            } else if (emitted == 0 && clean_line(tree_.line_text(n)).empty()) {
                blank = true;
            }
        }
        blank_pending_ = false;
        if (!try_line({}, "}", comment(e.end_line), "}")) return call_off();
        return true;
    }

    const SyntaxTree& tree_;
    std::string_view text_;
    std::string& out_;
    std::string_view eol_;
    std::string line_;
    std::string layout_;
    bool blank_pending_ = false;
    bool wrote_ = false;
};

// What a statement declares, as text, for reporting a difference.
std::string meaning(const Statement& st) {
    std::string out;
    const auto add = [&](std::string_view what, std::string_view s) {
        if (!out.empty()) out += ", ";
        out += what;
        out += " '";
        out += s;
        out += '\'';
    };
    switch (st.kind) {
        case StatementKind::Assignment:
            add("key", st.key.text);
            add("value", st.literal.text);
            break;
        case StatementKind::Type:
            add("type", st.name.text);
            add("definition", st.definition.text);
            break;
        case StatementKind::Schema:
            add("schema", st.name.text);
            for (const FieldPart& f : st.fields) {
                add("field", f.name.text);
                add("marks", f.marks.text);
                add("type", f.type.text);
            }
            break;
        case StatementKind::Import:
            add("import", st.path.text);
            break;
        case StatementKind::Derive:
            add("derive", st.path.text);
            for (const Part& p : st.selectors) add("schema", p.text);
            break;
        default:
            add("statement", st.content.text);
            break;
    }
    return out;
}

bool same_parts(const Statement& a, const Statement& b) {
    if (a.kind != b.kind || a.fails != b.fails) return false;
    switch (a.kind) {
        case StatementKind::Assignment:
            return a.key.text == b.key.text && a.literal.text == b.literal.text;
        case StatementKind::Type:
            return a.name.text == b.name.text && a.definition.text == b.definition.text;
        case StatementKind::Schema:
            if (a.name.text != b.name.text || a.fields.size() != b.fields.size()) return false;
            for (std::size_t i = 0; i < a.fields.size(); ++i) {
                const FieldPart &x = a.fields[i], &y = b.fields[i];
                if (x.name.text != y.name.text || x.marks.text != y.marks.text ||
                    x.type.text != y.type.text)
                    return false;
            }
            return true;
        case StatementKind::Import:
            return a.path.text == b.path.text;
        case StatementKind::Derive:
            if (a.path.text != b.path.text || a.selectors.size() != b.selectors.size())
                return false;
            for (std::size_t i = 0; i < a.selectors.size(); ++i)
                if (a.selectors[i].text != b.selectors[i].text) return false;
            return true;
        default:
            return a.content.text == b.content.text;
    }
}

// The next statement that declares something (no blank or comment line).
bool next_declaring(SyntaxTree::Statements& s, SyntaxTree::Entry& e) {
    while (s.next(e))
        if (e.kind != StatementKind::Blank && e.kind != StatementKind::Comment) return true;
    return false;
}

// The next comment of a text, from line `n` on; empty at the end.
std::string_view next_comment(const SyntaxTree& t, std::size_t& n) {
    while (n <= t.line_count()) {
        const std::string_view raw = t.line_text(n++);
        if (std::memchr(raw.data(), '#', raw.size()) == nullptr) continue;
        const std::size_t cut = strip_comment(raw).size();
        if (cut != raw.size()) return trim_end(raw.substr(cut));
    }
    return {};
}

}  // namespace

std::optional<std::string> first_difference(const SyntaxTree& a, const SyntaxTree& b) {
    SyntaxTree::Statements sa(a), sb(b);
    SyntaxTree::Entry ea, eb;
    for (;;) {
        const bool more_a = next_declaring(sa, ea), more_b = next_declaring(sb, eb);
        if (!more_a && !more_b) break;
        if (more_a != more_b) {
            return std::string(more_a ? "a statement at line " + std::to_string(ea.line) +
                                            " of the first has none in the second"
                                      : "a statement at line " + std::to_string(eb.line) +
                                            " of the second has none in the first");
        }
        // The common case: assignments on lines of their own, compared as they are read.
        if (ea.kind == StatementKind::Assignment && eb.kind == StatementKind::Assignment &&
            !ea.block && !eb.block) {
            AssignmentSyntax x, y;
            split_assignment(clean_line(a.line_text(ea.line)), x);
            split_assignment(clean_line(b.line_text(eb.line)), y);
            if (x.key == y.key && x.literal == y.literal) continue;
        }
        const Statement x = a.statement(ea), y = b.statement(eb);
        if (!same_parts(x, y))
            return "line " + std::to_string(ea.line) + " of the first reads " + meaning(x) +
                   "; line " + std::to_string(eb.line) + " of the second reads " + meaning(y);
    }
    std::size_t na = 1, nb = 1;
    for (;;) {
        const std::string_view ca = next_comment(a, na), cb = next_comment(b, nb);
        if (ca.empty() && cb.empty()) return std::nullopt;
        if (ca != cb)
            return "the comment '" + std::string(ca) + "' of the first is '" + std::string(cb) +
                   "' in the second";
    }
}

Formatted format_text(std::string_view text) {
    Formatted result;
    const SyntaxTree tree(text);
    tree.for_each([&](const SyntaxTree::Entry& e) {
        if (e.fails) result.errors.push_back(*tree.error(e));
    });
    if (!result.errors.empty()) {
        result.status = Formatted::Status::Refused;
        return result;
    }
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 16);
    Writer(tree, out).run();
    // Proof: the output declares exactly what the input does.
    const SyntaxTree again(out);
    if (auto difference = first_difference(again, tree)) {
        result.status = Formatted::Status::Unsafe;
        result.difference = std::move(*difference);
        return result;
    }
    result.text = std::move(out);
    return result;
}

}  // namespace qern::analysis
