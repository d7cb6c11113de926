#include "lsp/source_text.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "qern/text.hpp"

namespace qern::lsp {

namespace {

std::size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;  // a stray continuation byte counts as one character, as the library does
}

std::size_t units_of(unsigned char lead, std::size_t bytes, Encoding encoding) {
    switch (encoding) {
        case Encoding::Utf8:
            return bytes;
        case Encoding::Utf32:
            return 1;
        case Encoding::Utf16:
            return lead >= 0xF0 ? 2 : 1;
    }
    return 1;
}

// Appends the starts of the protocol's lines that the line breaks at bytes [from, to) of
// `text` begin: after "\n", "\r\n" and a lone "\r".
void collect_starts(std::string_view text, std::size_t from, std::size_t to,
                    std::vector<std::size_t>& starts) {
    const char* data = text.data();
    if (from >= to) return;
    if (std::memchr(data + from, '\r', to - from) == nullptr) {
        for (const char* p = data + from; p < data + to;) {
            const void* hit = std::memchr(p, '\n', static_cast<std::size_t>(data + to - p));
            if (hit == nullptr) break;
            p = static_cast<const char*>(hit) + 1;
            starts.push_back(static_cast<std::size_t>(p - data));
        }
        return;
    }
    for (std::size_t i = from; i < to; ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            starts.push_back(i + 1);
    }
}

bool has_bom(std::string_view text) {
    return text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::size_t units_in(std::string_view s, Encoding encoding) {
    if (encoding == Encoding::Utf8) return s.size();
    std::size_t units = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const std::size_t n = std::min(sequence_length(lead), s.size() - i);
        units += units_of(lead, n, encoding);
        i += n;
    }
    return units;
}

std::size_t bytes_for_units(std::string_view s, std::size_t units, Encoding encoding) {
    std::size_t i = 0;
    std::size_t counted = 0;
    while (i < s.size()) {
        const auto lead = static_cast<unsigned char>(s[i]);
        const std::size_t n = std::min(sequence_length(lead), s.size() - i);
        const std::size_t u = units_of(lead, n, encoding);
        if (counted + u > units) break;  // a position inside a character stays before it
        counted += u;
        i += n;
    }
    return i;
}

SourceText::SourceText(std::string text) : text_(std::move(text)) {
    starts_.push_back(0);
    collect_starts(text_, 0, text_.size(), starts_);
}

SourceText SourceText::from_file(std::string text) {
    if (has_bom(text)) text.erase(0, 3);
    return SourceText(std::move(text));
}

void SourceText::replace(std::size_t begin, std::size_t end, std::string_view replacement) {
    // The line breaks at bytes [begin - 1, end) are gone: the byte before the edit may
    // have been a "\r" whose meaning depends on the byte after it. Those of the new text
    // at [begin - 1, begin + replacement.size()) take their place; later starts move.
    const std::size_t from = begin == 0 ? 0 : begin - 1;
    text_.replace(begin, end - begin, replacement);
    const std::size_t new_end = begin + replacement.size();
    std::vector<std::size_t> fresh;
    collect_starts(text_, from, new_end, fresh);
    const auto first = std::upper_bound(starts_.begin(), starts_.end(), from);
    const auto last = std::upper_bound(first, starts_.end(), end);
    for (auto it = last; it != starts_.end(); ++it) *it = *it - end + new_end;
    const auto at = starts_.erase(first, last);
    starts_.insert(at, fresh.begin(), fresh.end());
}

Position SourceText::position_of(std::size_t offset, Encoding encoding) const {
    std::size_t line = 0;
    return position_of(offset, encoding, line);
}

Position SourceText::position_of(std::size_t offset, Encoding encoding, std::size_t& line) const {
    offset = std::min(offset, text_.size());
    const auto holds = [&](std::size_t i) {
        return starts_[i] <= offset && (i + 1 == starts_.size() || starts_[i + 1] > offset);
    };
    // The line of the last place or a few after it, as when the places of statements are
    // asked for in order; anywhere else, by a search.
    constexpr std::size_t kSteps = 4;
    std::size_t index = line;
    for (std::size_t step = 0; index < starts_.size() && !holds(index); ++step, ++index) {
        if (step == kSteps || starts_[index] > offset) {
            index = starts_.size();
            break;
        }
    }
    if (index >= starts_.size())
        index = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) -
                                         starts_.begin()) -
                1;
    line = index;
    const std::size_t begin = starts_[index];
    return {index, units_in(std::string_view(text_).substr(begin, offset - begin), encoding)};
}

std::size_t SourceText::protocol_line_end(std::size_t index) const {
    if (index + 1 >= starts_.size()) return text_.size();
    std::size_t end = starts_[index + 1];
    if (text_[end - 1] == '\n') --end;
    if (end > starts_[index] && text_[end - 1] == '\r') --end;
    return end;
}

std::size_t SourceText::offset_of(Position position, Encoding encoding) const {
    if (position.line >= starts_.size()) return text_.size();
    const std::size_t begin = starts_[position.line];
    const std::size_t end = protocol_line_end(position.line);
    const std::string_view line = std::string_view(text_).substr(begin, end - begin);
    return begin + bytes_for_units(line, position.character, encoding);
}

std::optional<std::size_t> SourceText::exact_offset(Position position, Encoding encoding) const {
    if (position.line >= starts_.size()) return std::nullopt;
    const std::size_t begin = starts_[position.line];
    const std::string_view line =
        std::string_view(text_).substr(begin, protocol_line_end(position.line) - begin);
    const std::size_t bytes = bytes_for_units(line, position.character, encoding);
    if (units_in(line.substr(0, bytes), encoding) != position.character) return std::nullopt;
    return begin + bytes;
}

std::optional<std::string> path_of_uri(std::string_view uri) {
    constexpr std::string_view scheme = "file://";
    if (uri.size() < scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (ascii_lower(uri[i]) != scheme[i]) return std::nullopt;
    std::string_view rest = uri.substr(scheme.size());
    // An authority ("file://localhost/x") names the machine; only the path is used.
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    rest = rest.substr(slash);
    rest = rest.substr(0, rest.find_first_of("?#"));
    std::string path;
    path.reserve(rest.size());
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && hex_value(rest[i + 1]) >= 0 &&
            hex_value(rest[i + 2]) >= 0) {
            path.push_back(static_cast<char>(hex_value(rest[i + 1]) * 16 + hex_value(rest[i + 2])));
            i += 2;
        } else {
            path.push_back(rest[i]);
        }
    }
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

std::string uri_of_path(std::string_view path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '~' ||
                           c == '/';
        if (plain) {
            uri.push_back(ch);
        } else {
            uri.push_back('%');
            uri.push_back(kHex[c >> 4]);
            uri.push_back(kHex[c & 15]);
        }
    }
    return uri;
}

std::string absolute_path(std::string_view path, std::string_view base) {
    std::filesystem::path p{std::string(path)};
    if (p.is_relative()) p = std::filesystem::path(std::string(base)) / p;
    std::string out = p.lexically_normal().string();
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

}  // namespace qern::lsp
