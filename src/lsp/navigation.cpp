#include <sys/stat.h>

#include <algorithm>
#include <unordered_map>

#include "lsp/features.hpp"
#include "qern/text.hpp"

namespace qern::lsp {

namespace {

enum SymbolKind : int { kProperty = 7, kField = 8, kStruct = 23, kTypeParameter = 26 };

// Details are shown on one line beside the name.
constexpr std::size_t kMaxDetail = 80;

std::string detail_of(std::string_view text) {
    if (text.size() <= kMaxDetail) return std::string(text);
    std::size_t cut = kMaxDetail;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return concat(text.substr(0, cut), "…");
}

bool regular_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

json file_location(const Snapshot& s, const std::string& abs) {
    return json{{"uri", abs == s.path ? s.uri : uri_of_path(abs)}, {"range", range_json({})}};
}

const analysis::Declaration* declaration_of_type(const analysis::Analysis& analysis,
                                                 std::string_view name) {
    const analysis::Declaration* alias =
        effective_declaration(analysis, analysis::Declaration::Kind::Type, name);
    if (alias != nullptr && !derived(alias->where)) return alias;
    // Field types look an alias up before a schema of the same name.
    const analysis::Declaration* schema =
        effective_declaration(analysis, analysis::Declaration::Kind::Schema, name);
    return alias != nullptr ? alias : schema;
}

json type_definition(const Snapshot& s, const Cursor& c, FileTexts& files) {
    const TypePiece piece = type_piece(c.token, c.offset, false);
    const std::string_view name = c.token.substr(piece.begin, piece.end - piece.begin);
    const analysis::Declaration* d = declaration_of_type(s.checked->analysis, name);
    if (d == nullptr) return nullptr;
    return files.location(d->where);
}

json key_definition(const Snapshot& s, std::string_view key, FileTexts& files) {
    const analysis::Declaration* d =
        effective_declaration(s.checked->analysis, analysis::Declaration::Kind::Key, key);
    if (d == nullptr) return nullptr;
    return files.location(d->where);
}

struct SymbolPlace {
    Range range;
    Range selection;
};

json symbol(const Snapshot& s, const std::string& name, const std::string& detail, int kind,
            const SymbolPlace& place) {
    if (s.client->hierarchical_symbols) {
        return json{{"name", name},
                    {"detail", detail},
                    {"kind", kind},
                    {"range", range_json(place.range)},
                    {"selectionRange", range_json(place.selection)}};
    }
    return json{{"name", name},
                {"kind", kind},
                {"location", {{"uri", s.uri}, {"range", range_json(place.selection)}}}};
}

SymbolPlace place_of(const Snapshot& s, const analysis::Declaration& d) {
    const Encoding e = s.client->encoding;
    const Location& w = d.where;
    const Location& x = d.extent;
    SymbolPlace place{s.text->range_of(x.line, x.column, x.end_line, x.end_column, e),
                      s.text->range_of(w.line, w.column, w.end_line, w.end_column, e)};
    return place;
}

}  // namespace

bool derived(const Location& where) {
    for (const IncludeStep& step : where.chain)
        if (step.kind == IncludeKind::Derive) return true;
    return false;
}

const analysis::Declaration* effective_declaration(const analysis::Analysis& analysis,
                                                   analysis::Declaration::Kind kind,
                                                   std::string_view name) {
    const analysis::Declaration* own = nullptr;
    const analysis::Declaration* from_base = nullptr;
    const std::string_view* value =
        kind == analysis::Declaration::Kind::Key ? analysis.document.data().find(name) : nullptr;
    for (const analysis::Declaration& d : analysis.declarations) {
        if (d.kind != kind || d.name != name) continue;
        if (!derived(d.where)) {
            own = &d;  // the last one read wins
        } else if (value == nullptr || d.detail == *value || from_base == nullptr) {
            from_base = &d;
        }
    }
    return own != nullptr ? own : from_base;
}

json definition(const Snapshot& s, Position position) {
    if (s.checked == nullptr) return nullptr;
    const SourceText::Place at = s.text->place_of(position, s.client->encoding);
    const Cursor c = inspect(*s.text, at.line, at.byte);
    if (c.token.empty()) return nullptr;
    FileTexts files(s);
    switch (c.role) {
        case Role::ImportPath:
        case Role::DerivePath: {
            const std::string abs = absolute_path(c.token, s.workdir);
            if (!regular_file(abs)) return nullptr;
            return file_location(s, abs);
        }
        case Role::DeriveSchema:
        case Role::TypeName:
        case Role::SchemaName:
        case Role::TypeDefinition:
        case Role::FieldType:
            return type_definition(s, c, files);
        case Role::Key:
        case Role::FieldName:
            return key_definition(s, c.token, files);
        case Role::Value:
            return key_definition(s, unquote_value(c.token), files);
        case Role::None:
        case Role::Directive:
            return nullptr;
    }
    return nullptr;
}

json document_symbols(const Snapshot& s) {
    json out = json::array();
    if (s.checked == nullptr) return out;
    // The fields of the schema read last, placed where they are written: the analysis
    // gives them in an order of its own.
    std::unordered_map<std::string_view, FieldPlace> places;
    std::vector<std::pair<Position, json>> fields;
    const auto flush = [&] {
        std::stable_sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) {
            return std::pair(a.first.line, a.first.character) <
                   std::pair(b.first.line, b.first.character);
        });
        for (auto& field : fields) {
            if (s.client->hierarchical_symbols && !out.empty() && out.back().contains("children"))
                out.back()["children"].push_back(std::move(field.second));
            else
                out.push_back(std::move(field.second));
        }
        fields.clear();
    };
    for (const analysis::Declaration& d : s.checked->analysis.declarations) {
        // Only what this document itself declares, not what it reads from other files.
        if (!d.where.chain.empty() || s.absolute(d.where.file) != s.path) continue;
        if (d.kind != analysis::Declaration::Kind::Field) flush();
        switch (d.kind) {
            case analysis::Declaration::Kind::Key:
                out.push_back(symbol(s, d.name, detail_of(d.detail), kProperty, place_of(s, d)));
                break;
            case analysis::Declaration::Kind::Type:
                out.push_back(
                    symbol(s, d.name, detail_of(d.detail), kTypeParameter, place_of(s, d)));
                break;
            case analysis::Declaration::Kind::Schema:
                out.push_back(symbol(s, d.name, "schema", kStruct, place_of(s, d)));
                if (s.client->hierarchical_symbols) out.back()["children"] = json::array();
                places.clear();
                for (const FieldPlace& f : schema_fields(*s.text, d.extent.line, d.extent.end_line))
                    places.insert_or_assign(f.name, f);  // a repeated field: the later one wins
                break;
            case analysis::Declaration::Kind::Field: {
                SymbolPlace place = place_of(s, d);
                place.selection = place.range;
                if (const auto f = places.find(d.name); f != places.end()) {
                    const Encoding e = s.client->encoding;
                    Span whole = f->second.name_span;
                    if (f->second.type_span.line == whole.line) whole.end = f->second.type_span.end;
                    place.range = span_range(*s.text, whole, e);
                    place.selection = span_range(*s.text, f->second.name_span, e);
                }
                json field = symbol(s, d.name, concat(d.detail, d.optional ? " (optional)" : ""),
                                    kField, place);
                if (!s.client->hierarchical_symbols) field["containerName"] = d.parent;
                fields.emplace_back(place.selection.start, std::move(field));
                break;
            }
        }
    }
    flush();
    return out;
}

}  // namespace qern::lsp
