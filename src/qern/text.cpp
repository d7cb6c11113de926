#include "qern/text.hpp"

#include <cstdint>
#include <cstring>

namespace qern {

namespace {

inline bool ascii_whitespace(unsigned char c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20;
}

// Multi-byte members of the set, by their UTF-8 encoding.
inline bool two_byte_whitespace(unsigned char a, unsigned char b) {
    return a == 0xC2 && (b == 0x85 || b == 0xA0);
}

inline bool three_byte_whitespace(unsigned char a, unsigned char b, unsigned char c) {
    switch (a) {
        case 0xE1:
            return b == 0x9A && c == 0x80;  // U+1680
        case 0xE2:
            if (b == 0x80) return (c >= 0x80 && c <= 0x8A) || c == 0xA8 || c == 0xA9 || c == 0xAF;
            return b == 0x81 && c == 0x9F;  // U+205F
        case 0xE3:
            return b == 0x80 && c == 0x80;  // U+3000
        default:
            return false;
    }
}

}  // namespace

std::size_t whitespace_at(std::string_view s, std::size_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    if (i >= n) return 0;
    const unsigned char c = p[i];
    if (c < 0x80) return ascii_whitespace(c) ? 1 : 0;
    if (c == 0xC2 && i + 1 < n) return two_byte_whitespace(c, p[i + 1]) ? 2 : 0;
    if (c >= 0xE1 && c <= 0xE3 && i + 2 < n)
        return three_byte_whitespace(c, p[i + 1], p[i + 2]) ? 3 : 0;
    return 0;
}

std::size_t whitespace_before(std::string_view s, std::size_t end) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    if (end == 0 || end > s.size()) return 0;
    const unsigned char c = p[end - 1];
    if (c < 0x80) return ascii_whitespace(c) ? 1 : 0;
    if (end >= 2 && two_byte_whitespace(p[end - 2], c)) return 2;
    if (end >= 3 && three_byte_whitespace(p[end - 3], p[end - 2], c)) return 3;
    return 0;
}

std::string_view trim_start_slow(std::string_view s) {
    std::size_t i = 0;
    while (std::size_t w = whitespace_at(s, i)) i += w;
    return s.substr(i);
}

std::string_view trim_end_slow(std::string_view s) {
    std::size_t end = s.size();
    while (std::size_t w = whitespace_before(s, end)) end -= w;
    return s.substr(0, end);
}

WhitespaceHit find_whitespace(std::string_view s, std::size_t from) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = from; i < s.size(); ++i) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (ascii_whitespace(c)) return {i, 1};
        } else if (std::size_t w = whitespace_at(s, i)) {
            return {i, w};
        }
    }
    return {std::string_view::npos, 0};
}

bool is_valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time: the common case for configuration text.
        if (i + 8 <= n) {
            std::uint64_t block;
            std::memcpy(&block, p + i, 8);
            if ((block & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // overlong
            if (c == 0xED) hi = 0x9F;  // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // overlong
            if (c == 0xF4) hi = 0x8F;  // past U+10FFFF
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

}  // namespace qern
