#include <algorithm>

#include "lsp/declarations.hpp"
#include "lsp/describe.hpp"
#include "lsp/features.hpp"
#include "qern/text.hpp"
#include "types/resolve.hpp"

namespace qern::lsp {

namespace {

enum ItemKind : int {
    kClass = 7,
    kUnit = 11,
    kKeyword = 14,
    kSnippet = 15,
    kEnumMember = 20,
    kStruct = 22,
    kTypeParameter = 25,
};
enum InsertFormat : int { kPlainText = 1, kSnippetText = 2 };

json item(std::string label, int kind, std::string detail, const json& range, std::string text,
          std::string sort, int format = kPlainText) {
    json out = {{"label", label},
                {"kind", kind},
                {"detail", std::move(detail)},
                {"sortText", std::move(sort)},
                {"filterText", label},
                {"textEdit", {{"range", range}, {"newText", std::move(text)}}}};
    if (format != kPlainText) out["insertTextFormat"] = format;
    return out;
}

void directives(const Snapshot& s, const json& range, json& items) {
    struct Directive {
        const char* name;
        const char* plain;
        const char* snippet;
        const char* detail;
    };
    static constexpr Directive kDirectives[] = {
        {"@import", "@import ", "@import \"${1:file.qrn}\"", "merge another file here"},
        {"@type", "@type ", "@type ${1:name} = ${0:i32}", "declare a type alias"},
        {"@schema", "@schema ", "@schema ${1:Name} { $0 }", "declare a schema"},
        {"@derive", "@derive ", "@derive \"${1:base.qrn}\"", "build on a base file"},
    };
    for (const Directive& d : kDirectives) {
        const bool snippet = s.client->snippets;
        items.push_back(item(d.name, snippet ? kSnippet : kKeyword, d.detail, range,
                             snippet ? d.snippet : d.plain, d.name,
                             snippet ? kSnippetText : kPlainText));
    }
}

int kind_of(BuiltinName::Family family) {
    switch (family) {
        case BuiltinName::Family::Primitive:
        case BuiltinName::Family::List:
            return kKeyword;
        case BuiltinName::Family::Time:
        case BuiltinName::Family::Math:
            return kEnumMember;
        case BuiltinName::Family::Physics:
            return kUnit;
    }
    return kKeyword;
}

void types(const Snapshot& s, const json& range, bool declared, json& items) {
    if (declared && s.checked != nullptr) {
        const QernDocument& doc = s.checked->analysis.document;
        for (const auto& [name, def] : doc.types()) {
            const auto* alias = dynamic_cast<const AliasType*>(def.get());
            items.push_back(item(name, kTypeParameter,
                                 alias != nullptr ? concat("alias for ", alias->definition()) : "",
                                 range, name, concat("0", name)));
        }
        for (const std::string& name : doc.schemas().names())
            items.push_back(item(name, kStruct, "schema", range, name, concat("0", name)));
    }
    for (const BuiltinName& b : builtin_names()) {
        const std::string sort = concat(std::to_string(1 + static_cast<int>(b.family)), b.name);
        if (b.family == BuiltinName::Family::List) {
            const bool snippet = s.client->snippets;
            items.push_back(item(b.name, kind_of(b.family), b.detail, range,
                                 snippet ? "list<$1>" : "list<", sort,
                                 snippet ? kSnippetText : kPlainText));
            items.back()["filterText"] = "list<";
            continue;
        }
        items.push_back(item(b.name, kind_of(b.family), b.detail, range, b.name, sort));
    }
}

void derived_schemas(const Snapshot& s, std::string_view path, const json& range, json& items) {
    if (path.empty()) return;
    // The base file as the @derive reads it: relative to the working directory, with the
    // files it reads in turn. Its syntax trees suffice, so a base file with a broken line
    // still offers the schemas it declares.
    Files files(s);
    for (const std::string& name : derivable_schemas(files, path)) {
        std::string detail = concat("schema in ", path);
        items.push_back(item(name, kStruct, std::move(detail), range, name, name));
    }
}

// Where the type name being typed starts, within the piece: after the last '<' before the
// cursor and the blanks after it, as in "list<list<Po".
std::size_t typed_name_start(std::string_view piece, std::size_t cursor) {
    const std::size_t lt = cursor == 0 ? std::string_view::npos : piece.rfind('<', cursor - 1);
    std::size_t begin = lt == std::string_view::npos ? 0 : lt + 1;
    while (begin < cursor && whitespace_at(piece, begin) != 0) begin += whitespace_at(piece, begin);
    return begin;
}

}  // namespace

json completion(const Snapshot& s, Position position) {
    const Cursor c = cursor_at(s, position);
    json items = json::array();
    // What is replaced: from the start of the piece being typed to the cursor.
    const auto edit_range = [&](std::size_t begin) {
        const std::size_t start = c.span().begin;
        return range_json(
            s.document().range(Span{start + begin, start + c.offset}, s.client->encoding));
    };
    switch (c.role()) {
        case Role::Directive:
            directives(s, edit_range(0), items);
            break;
        case Role::FieldType:
            types(s, edit_range(typed_name_start(c.token(), c.offset)), true, items);
            break;
        case Role::TypeDefinition:
            // A @type definition resolves against the built-in names only: aliases and
            // schemas offered there would give an alias that fails every value.
            types(s, edit_range(typed_name_start(c.token(), c.offset)), false, items);
            break;
        case Role::DeriveSchema:
            derived_schemas(s, c.piece.path, edit_range(0), items);
            break;
        default:
            break;
    }
    return json{{"isIncomplete", false}, {"items", std::move(items)}};
}

}  // namespace qern::lsp
