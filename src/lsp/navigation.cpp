#include <sys/stat.h>

#include "lsp/declarations.hpp"
#include "lsp/describe.hpp"
#include "lsp/features.hpp"
#include "qern/text.hpp"

namespace qern::lsp {

namespace {

bool regular_file(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

json file_location(const Snapshot& s, const std::string& abs) {
    return json{{"uri", abs == s.path ? s.uri : uri_of_path(abs)}, {"range", range_json({})}};
}

json declared_at(const Snapshot& s, const std::optional<Declared>& d) {
    return d ? location_json(s, *d) : json(nullptr);
}

json key_definition(const Snapshot& s, Files& files, std::string_view key) {
    std::optional<std::string_view> value;
    if (const std::string_view* stored = s.checked->analysis.document.data().find(key))
        value = *stored;
    return declared_at(s, find_declaration(files, Declares::Key, key, value));
}

}  // namespace

json definition(const Snapshot& s, Position position) {
    if (s.checked == nullptr) return nullptr;
    const Cursor c = cursor_at(s, position);
    const std::string_view token = c.token();
    if (token.empty()) return nullptr;
    Files files(s);
    switch (c.role()) {
        case Role::ImportPath:
        case Role::DerivePath: {
            const std::string abs = absolute_path(token, s.workdir);
            if (!regular_file(abs)) return nullptr;
            return file_location(s, abs);
        }
        case Role::DeriveSchema:
        case Role::TypeName:
        case Role::SchemaName:
        case Role::TypeDefinition:
        case Role::FieldType: {
            const TypePiece piece = type_piece(token, c.offset);
            return declared_at(
                s, find_type(files, token.substr(piece.begin, piece.end - piece.begin)));
        }
        case Role::Key:
        case Role::FieldName:
            return key_definition(s, files, token);
        case Role::Value:
            return key_definition(s, files, unquote_value(token));
        case Role::None:
        case Role::Directive:
            return nullptr;
    }
    return nullptr;
}

}  // namespace qern::lsp
