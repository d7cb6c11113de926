#include <algorithm>
#include <string>

#include "analysis/format.hpp"
#include "lsp/features.hpp"

namespace qern::lsp {

namespace {

// The one edit that turns `text` into `formatted`: the lines from the first that differs
// to the last that differs, replaced whole. Line starts (after a "\n") are places every
// encoding can name, and no edit then splits a character or a "\r\n"; the lines before
// and after, which the layout kept, are left alone, and so are the editor's marks in them.
json edits(const SourceText& source, std::string_view formatted, Encoding encoding) {
    const std::string_view text = source.text();
    if (text == formatted) return json::array();
    const std::size_t common = std::min(text.size(), formatted.size());
    std::size_t prefix = static_cast<std::size_t>(
        std::mismatch(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(common),
                      formatted.begin())
            .first -
        text.begin());
    while (prefix > 0 && text[prefix - 1] != '\n') --prefix;
    std::size_t suffix = 0;
    while (suffix < common - prefix &&
           text[text.size() - 1 - suffix] == formatted[formatted.size() - 1 - suffix])
        ++suffix;
    while (suffix > 0 && text[text.size() - suffix - 1] != '\n') --suffix;
    const std::size_t end = text.size() - suffix;
    const Range range{source.position_of(prefix, encoding), source.position_of(end, encoding)};
    const std::string_view replacement =
        formatted.substr(prefix, formatted.size() - suffix - prefix);
    return json::array({{{"range", range_json(range)}, {"newText", replacement}}});
}

}  // namespace

FormatAnswer formatting(const Snapshot& s) {
    const analysis::Formatted formatted = analysis::format_text(s.text->text());
    FormatAnswer answer;
    switch (formatted.status) {
        case analysis::Formatted::Status::Done:
            answer.edits = edits(*s.text, formatted.text, s.client->encoding);
            break;
        case analysis::Formatted::Status::Refused:
            // As `qern fmt` refuses it; the document's diagnostics say why in full.
            answer.note = "not formatting " + s.uri + ": it does not parse";
            if (!formatted.errors.empty())
                answer.note += " (" + formatted.errors.front().display() + ")";
            break;
        case analysis::Formatted::Status::Unsafe:
            answer.note = "internal error: formatting " + s.uri +
                          " would change what it declares, so it is left as it was; please "
                          "report this. The first difference: " +
                          formatted.difference;
            answer.fault = true;
            break;
    }
    return answer;
}

}  // namespace qern::lsp
