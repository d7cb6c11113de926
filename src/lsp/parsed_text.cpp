#include "lsp/parsed_text.hpp"

#include <algorithm>

#include "qern/text.hpp"

namespace qern::lsp {

std::size_t ParsedText::offset(Position position, Encoding encoding) const {
    return std::max(text_->offset_of(position, encoding), tree_.bom());
}

Range ParsedText::range(const Location& where, Encoding encoding) const {
    if (where.line == 0) return {};
    std::size_t end_line = where.end_line;
    std::size_t end_column = where.end_column;
    if (end_line < where.line) {
        end_line = where.line;
        end_column = where.column;
    }
    const std::size_t begin = tree_.offset(where.line, where.column);
    return range(Span{begin, std::max(begin, tree_.offset(end_line, end_column))}, encoding);
}

Range ParsedText::line_range(std::size_t line, Encoding encoding) const {
    const Span whole = tree_.line(line);
    const std::string_view text = tree_.text().substr(whole.begin, whole.size());
    const std::string_view body = trim(text);
    const auto begin = whole.begin + static_cast<std::size_t>(body.data() - text.data());
    return range(Span{begin, begin + body.size()}, encoding);
}

}  // namespace qern::lsp
