#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qern {

// Whitespace is the Unicode White_Space set: U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000. These helpers work on
// UTF-8 bytes and are safe on any input: a malformed sequence is simply not whitespace.

// Length in bytes of the whitespace character that starts at s[i], or 0.
std::size_t whitespace_at(std::string_view s, std::size_t i);
// Length in bytes of the whitespace character that ends just before s[end], or 0.
std::size_t whitespace_before(std::string_view s, std::size_t end);

std::string_view trim_start_slow(std::string_view s);
std::string_view trim_end_slow(std::string_view s);

// ASCII is decided inline; only a byte past ASCII at the edge needs the full set.
constexpr bool ascii_space(unsigned char c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20;
}
// What a byte at the edge of a text tells a trim: 1 an ASCII blank, 2 a byte past ASCII
// (maybe part of a wider blank), 0 the text starts or ends there.
inline constexpr auto kEdgeByte = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c)
        t[c] = ascii_space(static_cast<unsigned char>(c)) ? 1 : c >= 0x80 ? 2 : 0;
    return t;
}();
inline std::string_view trim_start(std::string_view s) {
    std::size_t i = 0;
    unsigned edge = 0;
    while (i < s.size() && (edge = kEdgeByte[static_cast<unsigned char>(s[i])]) == 1) ++i;
    s.remove_prefix(i);
    if (edge == 2) return trim_start_slow(s);
    return s;
}
inline std::string_view trim_end(std::string_view s) {
    std::size_t n = s.size();
    unsigned edge = 0;
    while (n > 0 && (edge = kEdgeByte[static_cast<unsigned char>(s[n - 1])]) == 1) --n;
    s.remove_suffix(s.size() - n);
    if (edge == 2) return trim_end_slow(s);
    return s;
}
inline std::string_view trim(std::string_view s) {
    return trim_end(trim_start(s));
}

// Position of the first whitespace character and its length; npos when there is none.
struct WhitespaceHit {
    std::size_t pos;
    std::size_t len;
};
WhitespaceHit find_whitespace(std::string_view s, std::size_t from = 0);

// ASCII case folding. Only ASCII letters are folded: no other character lower-cases to an
// ASCII letter of the words compared here, so any other byte simply does not match.
inline char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
// `s` equals the lower-case ASCII `word`, ignoring the case of ASCII letters in `s`.
inline bool equals_ascii_lower(std::string_view s, std::string_view word) {
    if (s.size() != word.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (ascii_lower(s[i]) != word[i]) return false;
    return true;
}

// A value at least two bytes long that begins and ends with the same quote character
// (" or ') loses that one pair; the inside is kept as it is.
inline std::string_view strip_quotes(std::string_view s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
        return s.substr(1, s.size() - 2);
    return s;
}

// The unquoting applied to assignment and inline-object values: values that begin with
// '[' or '{' are literals and are kept whole.
inline std::string_view unquote_value(std::string_view s) {
    if (!s.empty() && (s[0] == '[' || s[0] == '{')) return s;
    return strip_quotes(s);
}

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values
// past U+10FFFF).
bool is_valid_utf8(std::string_view s);

// Concatenation without intermediate temporaries, for building messages.
template <class... Parts>
std::string concat(const Parts&... parts) {
    std::string out;
    out.reserve((std::string_view(parts).size() + ... + 0));
    (out.append(std::string_view(parts)), ...);
    return out;
}

}  // namespace qern
