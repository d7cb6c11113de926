#include <algorithm>

#include "analysis/format.hpp"
#include "lsp/features.hpp"
#include "lsp/protocol.hpp"

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

json formatting(const Snapshot& s) {
    const analysis::Formatted formatted = analysis::format_text(s.text->text());
    switch (formatted.status) {
        case analysis::Formatted::Status::Done:
            return edits(*s.text, formatted.text, s.client->encoding);
        case analysis::Formatted::Status::Refused:
            // As `qern fmt` refuses it; the document's diagnostics already say why, and
            // an editor that formats on save should not add a message of its own.
            return json::array();
        case analysis::Formatted::Status::Unsafe:
            break;
    }
    throw RpcError(kRequestFailed,
                   "internal error: the formatted text would not declare what the document "
                   "declares, so it is left as it was; please report this. The first "
                   "difference: " +
                       formatted.difference);
}

}  // namespace qern::lsp
