#include "lsp/features.hpp"
#include "lsp/protocol.hpp"
#include "qern/file.hpp"

namespace qern::lsp {

namespace {

// Files larger than this are not read just to count code units: their columns are taken
// as they are, which is exact for ASCII lines.
constexpr std::uint64_t kMaxRelatedFile = std::uint64_t{64} << 20;

std::size_t position_part(const json& position, std::string_view name) {
    const json& value = member(position, name);
    // A JSON number from 0 up is read as unsigned; a negative one is not.
    if (!value.is_number_unsigned())
        throw RpcError(kInvalidParams, "'" + std::string(name) + "' must be a number from 0");
    return value.get<std::size_t>();
}

}  // namespace

const ParsedText& Snapshot::document() const {
    if (parsed == nullptr || parsed->source() != text) parsed = std::make_shared<ParsedText>(text);
    return *parsed;
}

std::optional<std::string> Snapshot::absolute(const std::optional<std::string>& file) const {
    if (!file || file == path) return path;
    const std::string& base = checked != nullptr ? checked->workdir : workdir;
    return absolute_path(*file, base);
}

std::string Snapshot::uri_of(const std::optional<std::string>& file) const {
    const std::optional<std::string> abs = absolute(file);
    if (!abs || abs == path) return uri;
    return uri_of_path(*abs);
}

std::shared_ptr<const ParsedText> Files::get(const std::optional<std::string>& file) {
    const std::optional<std::string> abs = snapshot_.absolute(file);
    if (!abs || abs == snapshot_.path) {
        snapshot_.document();
        return snapshot_.parsed;
    }
    return read(*abs);
}

std::shared_ptr<const ParsedText> Files::read(const std::string& path) {
    if (path == snapshot_.path) {
        snapshot_.document();
        return snapshot_.parsed;
    }
    const auto found = texts_.find(path);
    if (found != texts_.end()) return found->second;
    std::shared_ptr<const ParsedText> text;
    if (auto opened = OpenFile::open(path); opened && opened->size() <= kMaxRelatedFile) {
        if (auto read = opened->read_text())
            text = std::make_shared<const ParsedText>(
                std::make_shared<const SourceText>(SourceText::from_file(std::move(*read))));
    }
    texts_.emplace(path, text);
    return text;
}

json Files::range(const Location& where) {
    const Encoding encoding = snapshot_.client->encoding;
    if (const auto text = get(where.file)) return range_json(text->range(where, encoding));
    // Unreadable now: the columns as they are.
    const auto line = where.line == 0 ? 0 : where.line - 1;
    const auto end_line = where.end_line == 0 ? line : where.end_line - 1;
    const auto column = where.column == 0 ? 0 : where.column - 1;
    const auto end_column = where.end_column == 0 ? column : where.end_column - 1;
    return range_json({{line, column}, {end_line, end_column}});
}

json Files::location(const Location& where) {
    return json{{"uri", snapshot_.uri_of(where.file)}, {"range", range(where)}};
}

Cursor cursor_at(const Snapshot& s, Position position) {
    const ParsedText& doc = s.document();
    const std::size_t offset = doc.offset(position, s.client->encoding);
    Cursor c;
    c.piece = doc.tree().piece_at(offset);
    const Span span = c.piece.part.span;
    c.offset = std::min(offset > span.begin ? offset - span.begin : 0, c.piece.part.text.size());
    return c;
}

json range_json(const Range& range) {
    return json{{"start", {{"line", range.start.line}, {"character", range.start.character}}},
                {"end", {{"line", range.end.line}, {"character", range.end.character}}}};
}

Position position_from_json(const json& position) {
    if (!position.is_object()) throw RpcError(kInvalidParams, "'position' must be an object");
    return {position_part(position, "line"), position_part(position, "character")};
}

Range range_from_json(const json& range) {
    if (!range.is_object()) throw RpcError(kInvalidParams, "'range' must be an object");
    return {position_from_json(member(range, "start")), position_from_json(member(range, "end"))};
}

}  // namespace qern::lsp
