#include <algorithm>
#include <string>
#include <vector>

#include "lsp/features.hpp"
#include "qern/text.hpp"

namespace qern::lsp {

namespace {

enum SymbolKind : int { kProperty = 7, kField = 8, kStruct = 23, kTypeParameter = 26 };

// Details are shown on one line beside the name.
constexpr std::size_t kMaxDetail = 80;

// The symbols of a document as its syntax tree gives them: every key, alias and schema
// (with its fields) its statements declare, in the order they are written. Symbols are
// asked for on every change, so they are written straight out: a document of a million
// keys costs no JSON value per symbol, and no check.
class SymbolWriter {
  public:
    SymbolWriter(const Snapshot& s, JsonOut& out)
        : s_(s), doc_(*s.parsed), out_(out), tree_form_(s.client->hierarchical_symbols) {}

    void write() {
        const SyntaxTree& tree = doc_.tree();
        out_.raw("[");
        tree.for_each([&](const SyntaxTree::Entry& entry) {
            // A statement that fails declares nothing.
            if (entry.fails) return;
            if (entry.kind != StatementKind::Assignment && entry.kind != StatementKind::Type &&
                entry.kind != StatementKind::Schema)
                return;
            const Statement st = tree.statement(entry);
            switch (entry.kind) {
                case StatementKind::Assignment:
                    open(st.key.text, kProperty, st.content.span, st.key.span);
                    detail(st.value.text);
                    close();
                    break;
                case StatementKind::Type:
                    open(st.name.text, kTypeParameter, st.content.span, st.name.span);
                    detail(st.definition.text);
                    close();
                    break;
                default:
                    schema(st);
                    break;
            }
        });
        out_.raw("]");
    }

  private:
    Range range(Span span) { return doc_.range(span, s_.client->encoding, line_); }

    // A symbol up to its detail (hierarchical) or its location (flat).
    void open(std::string_view name, int kind, Span extent, Span selection) {
        if (!first_) out_.raw(",");
        first_ = false;
        out_.raw("{\"name\":")
            .string(name)
            .raw(",\"kind\":")
            .number(static_cast<std::size_t>(kind));
        if (tree_form_) {
            out_.raw(",\"range\":").range(range(extent)).raw(",\"selectionRange\":");
            out_.range(range(selection));
        } else {
            out_.raw(",\"location\":{\"uri\":").string(s_.uri).raw(",\"range\":");
            out_.range(range(selection)).raw("}");
        }
    }
    void detail(std::string_view text, std::string_view suffix = {}) {
        if (!tree_form_) return;
        out_.raw(",\"detail\":");
        if (text.size() <= kMaxDetail) {
            if (suffix.empty()) {
                out_.string(text);
            } else {
                out_.string(concat(text, suffix));
            }
            return;
        }
        std::size_t cut = kMaxDetail;
        while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
        out_.string(concat(text.substr(0, cut), "…", suffix));
    }
    void close() { out_.raw("}"); }

    void schema(const Statement& st) {
        open(st.name.text, kStruct, st.content.span, st.name.span);
        detail("schema");
        // A field declared twice is the later one, whose type the schema keeps.
        std::vector<std::size_t> order(st.fields.size());
        for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return st.fields[a].name.text < st.fields[b].name.text;
        });
        std::vector<bool> kept(st.fields.size(), false);
        for (std::size_t i = 0; i < order.size(); ++i)
            kept[order[i]] = i + 1 == order.size() ||
                             st.fields[order[i + 1]].name.text != st.fields[order[i]].name.text;
        if (tree_form_) {
            out_.raw(",\"children\":[");
            first_ = true;
        } else {
            close();
        }
        for (std::size_t i = 0; i < st.fields.size(); ++i) {
            if (!kept[i]) continue;
            const FieldPart& f = st.fields[i];
            const Span extent{f.name.span.begin,
                              std::max(f.name.span.end, f.type.exists() ? f.type.span.end : 0)};
            open(f.name.text, kField, extent, f.name.span);
            detail(f.type.text, f.optional ? " (optional)" : "");
            if (!tree_form_) out_.raw(",\"containerName\":").string(st.name.text);
            close();
        }
        if (tree_form_) {
            out_.raw("]");
            close();
            first_ = false;
        }
    }

    const Snapshot& s_;
    const ParsedText& doc_;
    JsonOut& out_;
    const bool tree_form_;
    bool first_ = true;
    std::size_t line_ = 0;  // of the last place written
};

}  // namespace

ResultWriter document_symbols(const Snapshot& snapshot) {
    snapshot.document();  // read once, before the writer runs twice
    return [s = snapshot](JsonOut& out) { SymbolWriter(s, out).write(); };
}

}  // namespace qern::lsp
