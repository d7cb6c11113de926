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

// Calls f(offset, class) for each marked byte of `text`, in order, until f returns false.
// Returns whether it got to the end.
template <class F>
bool for_each_marked(std::string_view text, F&& f) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const auto visit = [&](std::size_t base, unsigned mask, const unsigned char* bytes) {
        while (mask != 0) {
            const unsigned at = static_cast<unsigned>(__builtin_ctz(mask));
            mask &= mask - 1;
            if (!f(base + at, kLiteralClass[bytes[at]])) return false;
        }
        return true;
    };
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16)
        if (!visit(i, marked_bytes(p + i), p + i)) return false;
    if (i < n) {
        unsigned char tail[16] = {};  // zero is no marked byte
        std::memcpy(tail, p + i, n - i);
        if (!visit(i, marked_bytes(tail), tail)) return false;
    }
    return true;
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
    long depth = 0;
    std::size_t start = 0;
    std::size_t separator = kNone;
    bool inner_separator = false;  // a depth-1 separator is marked since the last comma
    if constexpr (kMarks) marks->clear();
    const bool finished = for_each_marked(body, [&](std::size_t i, std::uint8_t cls) {
        switch (cls) {
            case 1:
                ++depth;
                return true;
            case 2:
                --depth;
                return true;
            case 3:
                if constexpr (kMarks) {
                    if (depth == 1) {
                        marks->push_back({body.data() + i, true});
                        inner_separator = false;
                        return true;
                    }
                }
                if (depth != 0) return true;
                if (!f(body.substr(start, i - start), separator, marks)) return false;
                start = i + 1;
                separator = kNone;
                if constexpr (kMarks) {
                    marks->clear();
                    inner_separator = false;
                }
                return true;
            default:
                if (depth == 0 && separator == kNone) separator = i - start;
                if constexpr (kMarks) {
                    if (depth == 1 && !inner_separator) {
                        marks->push_back({body.data() + i, false});
                        inner_separator = true;
                    }
                }
                return true;
        }
    });
    if (finished) f(body.substr(start), separator, marks);
}

template <class F>
void split_pieces(std::string_view body, F&& f) {
    scan_pieces<false>(body, nullptr,
                       [&](std::string_view piece, std::size_t separator, std::vector<InnerMark>*) {
                           return f(piece, separator);
                       });
}

}  // namespace qern::literal_scan
