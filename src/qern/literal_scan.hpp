#pragma once

// The scan under the list and inline-object literals: pieces split at the commas outside
// brackets. Read literals through literals.hpp, which includes this for its templates;
// callers only hold InnerMark buffers for it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qern::literal_scan {

// What the scans below look at: 1 opens a bracket or brace, 2 closes one, 3 is ',',
// 4 is ':' or '='.
inline constexpr auto kLiteralClass = [] {
    std::array<std::uint8_t, 256> t{};
    t['['] = t['{'] = 1;
    t[']'] = t['}'] = 2;
    t[','] = 3;
    t[':'] = t['='] = 4;
    return t;
}();

// A bit for each of the 16 bytes at `p` that kLiteralClass marks. Most bytes of a literal
// are plain text, which this passes over sixteen at a time.
inline unsigned marked_bytes(const unsigned char* p) {
#if defined(__SSE2__)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // '[' and '{', ']' and '}' differ only in the bit 0x20.
    const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
    const __m128i brackets = _mm_or_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')),
                                          _mm_cmpeq_epi8(folded, _mm_set1_epi8('}')));
    const __m128i others = _mm_or_si128(
        _mm_cmpeq_epi8(v, _mm_set1_epi8(',')),
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(':')), _mm_cmpeq_epi8(v, _mm_set1_epi8('='))));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(brackets, others)));
#else
    unsigned mask = 0;
    for (unsigned i = 0; i < 16; ++i)
        if (kLiteralClass[p[i]] != 0) mask |= 1u << i;
    return mask;
#endif
}

// marked_bytes for the last `n` bytes of a text, fewer than 16: copied into a block of
// blanks, which marks nothing past them. Short literals (a list of a few names) are all
// tail.
inline unsigned marked_tail(const unsigned char* p, std::size_t n) {
    unsigned char block[16];
    std::memset(block, ' ', sizeof block);
    std::memcpy(block, p, n);
    return marked_bytes(block);
}

// Calls f(args...) out of line, so that a loop calling it now and then keeps its own state
// in registers.
template <class F, class... Args>
[[gnu::noinline]] bool call_out_of_line(F& f, Args... args) {
    return f(args...);
}

inline constexpr std::size_t kNone = std::string_view::npos;

// Where the fields of a piece lie, one level down: each ',' at depth 1, and the first ':'
// or '=' at depth 1 after the piece's start and after each such ','. When the piece is an
// inline object, depth 1 is depth 0 of its body, so these are the commas and separators
// that split the object into fields.
struct InnerMark {
    const char* at;
    bool comma;
};

// Calls f(piece, separator, marks) for each piece of `body` ended by a ',' at bracket
// depth 0, and the last one, until f returns false. Brackets and braces count alike;
// quotes are not special. `separator` is the offset in the piece of its first ':' or '='
// at depth 0, or kNone. A piece starts at depth 0, so its depths are those of the body.
// With kMarks, `marks` holds the piece's InnerMarks when f is called; otherwise it is
// not touched.
template <bool kMarks, class F>
void scan_pieces(std::string_view body, std::vector<InnerMark>* marks, F&& f) {
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    const std::size_t n = body.size();
    long depth = 0;
    std::size_t start = 0;
    std::size_t separator = kNone;
    bool inner_separator = false;  // a depth-1 separator is marked since the last comma
    if constexpr (kMarks) marks->clear();
    // Most bytes are plain text, passed over sixteen at a time; the rest are visited in
    // order.
    for (std::size_t base = 0; base < n; base += 16) {
        unsigned mask = base + 16 <= n ? marked_bytes(p + base) : marked_tail(p + base, n - base);
        while (mask != 0) {
            const std::size_t i = base + static_cast<unsigned>(__builtin_ctz(mask));
            mask &= mask - 1;
            switch (kLiteralClass[p[i]]) {
                case 1:
                    ++depth;
                    break;
                case 2:
                    --depth;
                    break;
                case 3:
                    if constexpr (kMarks) {
                        if (depth == 1) {
                            marks->push_back({body.data() + i, true});
                            inner_separator = false;
                            break;
                        }
                    }
                    if (depth != 0) break;
                    if (!call_out_of_line(f, body.substr(start, i - start), separator, marks))
                        return;
                    start = i + 1;
                    separator = kNone;
                    if constexpr (kMarks) {
                        marks->clear();
                        inner_separator = false;
                    }
                    break;
                default:
                    if (depth == 0 && separator == kNone) separator = i - start;
                    if constexpr (kMarks) {
                        if (depth == 1 && !inner_separator) {
                            marks->push_back({body.data() + i, false});
                            inner_separator = true;
                        }
                    }
                    break;
            }
        }
    }
    f(body.substr(start), separator, marks);
}

template <class F>
void split_pieces(std::string_view body, F&& f) {
    scan_pieces<false>(body, nullptr,
                       [&](std::string_view piece, std::size_t separator, std::vector<InnerMark>*) {
                           return f(piece, separator);
                       });
}

}  // namespace qern::literal_scan
