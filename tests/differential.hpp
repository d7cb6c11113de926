#pragma once

// The syntax tree against the merge, for the tests and the fuzzers alike: what a
// recovering merge stores and reports for a text is what the tree says the text declares,
// and every part of the tree slices out of the text what it says. Each check gives the
// first disagreement it finds, or none.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/builtins.hpp"
#include "qern/diagnostic.hpp"
#include "qern/merge_context.hpp"
#include "qern/rules.hpp"
#include "qern/syntax.hpp"
#include "qern/text.hpp"

namespace qern::testing {

// Every part of every statement slices out of the text what the part says: the span's
// bytes, or, for a part a block joins over several lines, those lines' contents joined by
// one blank. The lines, their endings and the byte-order mark make up the text.
inline std::optional<std::string> parts_disagreement(const SyntaxTree& tree) {
    const std::string_view text = tree.text();
    std::string whole(text.substr(0, tree.bom()));
    for (std::size_t n = 1; n <= tree.line_count(); ++n) {
        whole += tree.line_text(n);
        whole += tree.line_ending(n);
        if (const auto c = tree.comment(n); c && text[c->begin] != '#')
            return concat("line ", std::to_string(n), ": its comment does not start with '#'");
        const Span content = tree.content(n);
        if (text.substr(content.begin, content.size()) != clean_line(tree.line_text(n)))
            return concat("line ", std::to_string(n), ": content");
    }
    if (whole != text) return std::string("the lines do not make up the text");
    const auto joined = [&](const Span& s) {
        std::string out;
        const std::size_t first = tree.position(s.begin).line, last = tree.position(s.end).line;
        for (std::size_t n = first; n <= last; ++n) {
            const Span c = tree.content(n);
            const std::size_t b = n == first ? s.begin : c.begin;
            const std::size_t e = n == last ? s.end : c.end;
            if (n != first) out += ' ';
            if (e > b) out += text.substr(b, e - b);
        }
        return out;
    };
    std::optional<std::string> found;
    const auto check = [&](const Part& p, std::string_view what, std::size_t line) {
        if (found || !p.exists()) return;
        const std::string_view slice = text.substr(p.span.begin, p.span.size());
        const bool ok =
            slice.find('\n') == std::string_view::npos ? slice == p.text : joined(p.span) == p.text;
        if (!ok)
            found = concat("statement at line ", std::to_string(line), ": the ", what, " '", p.text,
                           "' is not what its span holds: '", slice, "'");
    };
    tree.for_each([&](const SyntaxTree::Entry& entry) {
        const Statement st = tree.statement(entry);
        const std::pair<const Part*, const char*> parts[] = {
            {&st.content, "content"}, {&st.directive, "directive"}, {&st.args, "args"},
            {&st.key, "key"},         {&st.equals, "equals"},       {&st.literal, "literal"},
            {&st.value, "value"},     {&st.name, "name"},           {&st.definition, "definition"},
            {&st.path, "path"},       {&st.open, "open"},           {&st.close, "close"}};
        for (const auto& [p, what] : parts) check(*p, what, entry.line);
        for (const Part& p : st.selectors) check(p, "selector", entry.line);
        for (const FieldPart& f : st.fields) {
            check(f.name, "field name", entry.line);
            check(f.marks, "field marks", entry.line);
            check(f.type, "field type", entry.line);
        }
    });
    return found;
}

// What a recovering merge does, event by event.
struct MergeEvent {
    enum Kind { Assignment, Type, Schema, Error } kind;
    std::string a, b;  // key and value, alias and definition, schema name and its fields
    std::optional<QernError> error;
};

struct MergeRecorder final : MergeObserver {
    std::vector<MergeEvent> events;
    bool recover() const override { return true; }
    void on_error(const MergeContext&, QernError error) override {
        events.push_back({MergeEvent::Error, {}, {}, std::move(error)});
    }
    void on_assignment(const MergeContext&, const QernDocument&, std::string_view key,
                       std::string_view value, const SourceLine&, bool) override {
        events.push_back({MergeEvent::Assignment, std::string(key), std::string(value), {}});
    }
    void on_type(const MergeContext&, const QernDocument&, std::string_view name,
                 std::string_view definition) override {
        events.push_back({MergeEvent::Type, std::string(name), std::string(definition), {}});
    }
    void on_schema(const MergeContext&, const QernDocument&, const SchemaSyntax& syntax,
                   const SchemaDef&) override {
        std::string fields;
        for (const SchemaFieldSyntax& f : syntax.fields)
            fields += concat(f.name, f.optional ? "*" : "", ":", f.type, " ");
        events.push_back({MergeEvent::Schema, std::string(syntax.name), fields, {}});
    }
};

inline std::string where_of(const QernError& e) {
    const Location* l = e.location();
    if (l == nullptr) return "?";
    return concat(std::to_string(l->line), ":", std::to_string(l->column), "-",
                  std::to_string(l->end_line), ":", std::to_string(l->end_column));
}

// The tree's statements replayed against a recovering merge of the text (in a directory
// where the files the text names do not exist), and its parts against the text.
inline std::optional<std::string> merge_disagreement(std::string_view text) {
    MergeRecorder merge;
    QernDocument doc = new_document();
    if (!doc.merge_source(text, {}, &merge).ok()) return std::string("the merge stopped");
    const SyntaxTree tree(text);
    if (auto parts = parts_disagreement(tree)) return parts;
    std::size_t next = 0;
    std::optional<std::string> found;
    tree.for_each([&](const SyntaxTree::Entry& entry) {
        if (found || entry.kind == StatementKind::Blank || entry.kind == StatementKind::Comment)
            return;
        const auto fail = [&](std::string what) {
            found = concat("statement at line ", std::to_string(entry.line), ": ", what);
        };
        if (next >= merge.events.size()) return fail("the merge reported nothing for it");
        const MergeEvent& e = merge.events[next++];
        const Statement st = tree.statement(entry);
        const auto error = tree.error(entry);
        if (entry.fails != error.has_value()) return fail("fails, but has no error");
        if (entry.fails) {
            if (e.kind != MergeEvent::Error) return fail("the merge did not fail on it");
            if (e.error->display() != error->display())
                return fail(concat("the merge's error '", e.error->display(), "', the tree's '",
                                   error->display(), "'"));
            if (error_code(*e.error) != error_code(*error)) return fail("the error's code");
            if (where_of(*e.error) != where_of(*error))
                return fail(concat("the merge's error at ", where_of(*e.error), ", the tree's at ",
                                   where_of(*error)));
            return;
        }
        switch (entry.kind) {
            case StatementKind::Assignment:
                if (e.kind == MergeEvent::Error) {
                    // A value its schema field refuses: the merge's error is about the value.
                    const ErrorKind k = e.error->kind();
                    if (k != ErrorKind::Schema && k != ErrorKind::UnknownType &&
                        k != ErrorKind::Limit)
                        return fail(concat("the merge failed: ", e.error->display()));
                    if (e.error->location()->line != entry.line) return fail("the error's line");
                } else if (e.kind != MergeEvent::Assignment || e.a != st.key.text ||
                           e.b != st.value.text) {
                    return fail(concat("the tree assigns '", st.key.text, "' = '", st.value.text,
                                       "', the merge '", e.a, "' = '", e.b, "'"));
                }
                return;
            case StatementKind::Type:
                if (e.kind != MergeEvent::Type || e.a != st.name.text || e.b != st.definition.text)
                    return fail(concat("the tree declares type '", st.name.text, "' = '",
                                       st.definition.text, "'"));
                return;
            case StatementKind::Schema: {
                std::string fields;
                for (const FieldPart& f : st.fields)
                    fields += concat(f.name.text, f.optional ? "*" : "", ":", f.type.text, " ");
                if (e.kind != MergeEvent::Schema || e.a != st.name.text || e.b != fields)
                    return fail(concat("the tree declares schema '", st.name.text, "' { ", fields,
                                       "}, the merge '", e.a, "' { ", e.b, "}"));
                return;
            }
            case StatementKind::Import:
            case StatementKind::Derive:
                // The file the merge could not open is the path the tree reads.
                if (e.kind != MergeEvent::Error || !e.error->is<QernError::Io>() ||
                    e.error->as<QernError::Io>()->path != st.path.text)
                    return fail(concat("the merge did not fail to open '", st.path.text, "'"));
                return;
            default:
                return fail("a statement of an unexpected kind");
        }
    });
    if (!found && next != merge.events.size())
        found = std::string("the merge did more than the tree says");
    return found;
}

}  // namespace qern::testing
