#include "analysis/hints.hpp"

#include <algorithm>
#include <iterator>

#include "qern/text.hpp"
#include "types/math.hpp"
#include "types/physics.hpp"
#include "types/primitive_type.hpp"
#include "types/resolve.hpp"
#include "types/time.hpp"

namespace qern::analysis {

namespace {

constexpr std::size_t kFar = static_cast<std::size_t>(-1);

// The scalar values of `text`; a byte that starts no well-formed sequence stands for itself,
// moved past the scalar values so that it equals none of them. `starts`, when given, gets
// the byte where each one begins, and the text's size last.
std::u32string decode(std::string_view text, std::vector<std::size_t>* starts = nullptr) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (starts != nullptr) starts->push_back(i);
        const auto b0 = static_cast<unsigned char>(text[i]);
        std::size_t n = b0 < 0x80 ? 1 : (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : 4;
        char32_t c = n == 1 ? b0 : n == 2 ? (b0 & 0x1F) : n == 3 ? (b0 & 0x0F) : (b0 & 0x07);
        bool ok = (b0 < 0x80 || (b0 >= 0xC2 && b0 <= 0xF4)) && i + n <= text.size();
        for (std::size_t k = 1; ok && k < n; ++k) {
            const auto b = static_cast<unsigned char>(text[i + k]);
            ok = (b & 0xC0) == 0x80;
            c = (c << 6) | (b & 0x3F);
        }
        if (!ok) {
            out.push_back(0x110000 + b0);
            i += 1;
            continue;
        }
        out.push_back(c);
        i += n;
    }
    if (starts != nullptr) starts->push_back(text.size());
    return out;
}

// How many scalar values fall in each of 32 buckets (hashed): one edit changes the counts
// by at most two in all, so two texts whose counts differ by k in all are at least k / 2
// edits apart. Lets most candidates be passed over without computing their distance. A
// count stops at 255, which only makes the bound lower.
Tally tally(const std::u32string& text) {
    Tally counts{};
    for (const char32_t c : text) {
        std::uint8_t& n = counts[(c * 0x9E3779B97F4A7C15ULL) >> 59];
        if (n < 255) ++n;
    }
    return counts;
}

std::size_t tally_gap(const Tally& a, const Tally& b) {
    std::size_t gap = 0;
    for (std::size_t i = 0; i < a.size(); ++i) gap += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
    return gap;
}

// The distance of `text` from the pattern, one column of the distance table at a time,
// each column held as bits (the differences between neighbouring cells): a few word
// operations per scalar value of `text`, whatever the pattern's length (at most 64).
std::size_t distance(const Pattern& pattern, const std::u32string& text, std::size_t limit) {
    const std::size_t m = pattern.size;
    const std::size_t n = text.size();
    if ((n > m ? n - m : m - n) > limit) return limit + 1;
    if (m == 0) return std::min(n, limit + 1);
    const std::uint64_t last = std::uint64_t{1} << (m - 1);
    std::uint64_t vp = m == 64 ? ~std::uint64_t{0} : (last << 1) - 1;
    std::uint64_t vn = 0, d0_before = 0, pm_before = 0;
    std::size_t score = m;
    for (const char32_t c : text) {
        const std::uint64_t pm = pattern.positions(c);
        // A swap of two neighbours: this value matches where the previous one stood in the
        // pattern's row before.
        const std::uint64_t swapped = ((~d0_before & pm) << 1) & pm_before;
        const std::uint64_t d0 = (((pm & vp) + vp) ^ vp) | pm | vn | swapped;
        const std::uint64_t hp = vn | ~(d0 | vp);
        const std::uint64_t hn = d0 & vp;
        if ((hp & last) != 0) {
            ++score;
        } else if ((hn & last) != 0) {
            --score;
        }
        const std::uint64_t x = (hp << 1) | 1;
        vn = x & d0;
        vp = (hn << 1) | ~(x | d0);
        d0_before = d0;
        pm_before = pm;
    }
    return std::min(score, limit + 1);
}

std::string did_you_mean(std::string_view replacement) {
    return concat("did you mean '", replacement, "'?");
}

// Names from other languages that no edit reaches.
struct CommonName {
    std::string_view written;
    std::string_view meant;
    std::string_view message;
};
constexpr CommonName kCommonTypes[] = {
    {"int", "i32", "the integer type is 'i32'"},
    {"integer", "i32", "the integer type is 'i32'"},
    {"long", "i32", "the integer type is 'i32'"},
    {"float", "f64", "the floating-point type is 'f64'"},
    {"double", "f64", "the floating-point type is 'f64'"},
    {"number", "f64", "the floating-point type is 'f64'"},
    {"str", "string", "the text type is 'string'"},
    {"text", "string", "the text type is 'string'"},
    {"boolean", "bool", "the boolean type is 'bool'"},
    {"date", "time::datetime", "dates, with or without a time, are 'time::datetime'"},
    {"timestamp", "time::datetime", "dates, with or without a time, are 'time::datetime'"},
};
constexpr CommonName kCommonTimeMembers[] = {
    {"date", "datetime", "dates, with or without a time, are 'time::datetime'"},
    {"timestamp", "datetime", "dates, with or without a time, are 'time::datetime'"},
};
constexpr CommonName kCommonDirectives[] = {
    {"include", "import", "files are read with '@import'"},
};

template <std::size_t N>
const CommonName* common(const CommonName (&table)[N], std::string_view written) {
    for (const CommonName& entry : table)
        if (entry.written == written) return &entry;
    return nullptr;
}

constexpr std::string_view kPrimitives[] = {"i32", "f64", "string", "bool", "color"};
constexpr std::string_view kFamilies[] = {"math", "time", "physics"};

// A physics member as the unit lookup reads it: lower case, without '_' and '-'.
std::string unit_spelling(std::string_view member) {
    std::string out;
    out.reserve(member.size());
    for (const char c : member)
        if (c != '_' && c != '-') out += ascii_lower(c);
    return out;
}

std::optional<std::string> nearest_member(std::string_view family, std::string_view member) {
    Nearest nearest(family == "physics" ? unit_spelling(member) : std::string(member));
    if (family == "time") {
        for (const std::string_view m : kTimeMembers) nearest.consider(m);
    } else if (family == "math") {
        for (const std::string_view m : kMathMembers) nearest.consider(m);
    } else {
        for (std::size_t i = 0; i < kUnitCount; ++i) {
            const std::string_view name = unit_name(static_cast<Unit>(i));
            nearest.consider(unit_spelling(name), name);
        }
    }
    return nearest.best();
}

bool declared_name(std::string_view name, const std::vector<std::string>& declared) {
    return std::find(declared.begin(), declared.end(), name) != declared.end();
}

std::optional<Suggestion> suggest_type_at(std::string_view name,
                                          const std::vector<std::string>& declared, int depth) {
    if (depth > 8) return std::nullopt;
    if (const CommonName* entry = common(kCommonTypes, name))
        return Suggestion{std::string(entry->meant), std::string(entry->message)};

    // "list<T>" with "list" misspelt, or with an element type that is unknown.
    if (const std::size_t open = name.find('<'); open != std::string_view::npos && open > 0 &&
                                                 name.size() > open + 2 && name.back() == '>') {
        const std::string_view head = name.substr(0, open);
        const std::string_view inner = trim(name.substr(open + 1, name.size() - open - 2));
        if (inner.empty()) return std::nullopt;
        if (head != "list") {
            Nearest nearest(head);
            nearest.consider("list");
            if (!nearest.best()) return std::nullopt;
        }
        std::string element(inner);
        if (!find_builtin(inner) && !declared_name(inner, declared)) {
            if (auto s = suggest_type_at(inner, declared, depth + 1)) {
                element = s->replacement;
            } else if (head == "list") {
                return std::nullopt;
            }
        }
        std::string replacement = concat("list<", element, ">");
        std::string message = did_you_mean(replacement);
        return Suggestion{std::move(replacement), std::move(message)};
    }

    if (const std::size_t sep = name.find("::"); sep != std::string_view::npos) {
        std::string_view family = name.substr(0, sep);
        const std::string_view member = name.substr(sep + 2);
        if (member.empty() || member.find("::") != std::string_view::npos) return std::nullopt;
        if (std::find(std::begin(kFamilies), std::end(kFamilies), family) == std::end(kFamilies)) {
            Nearest nearest(family);
            for (const std::string_view f : kFamilies) nearest.consider(f);
            const auto best = nearest.best();
            if (!best) return std::nullopt;
            family = *std::find(std::begin(kFamilies), std::end(kFamilies), *best);
        }
        std::string fixed(member);
        const CommonName* entry = family == "time" ? common(kCommonTimeMembers, member) : nullptr;
        if (entry != nullptr) {
            fixed = entry->meant;
        } else if (!find_builtin(concat(family, "::", member))) {
            auto best = nearest_member(family, member);
            if (!best) return std::nullopt;
            fixed = std::move(*best);
        }
        std::string replacement = concat(family, "::", fixed);
        std::string message =
            entry != nullptr ? std::string(entry->message) : did_you_mean(replacement);
        return Suggestion{std::move(replacement), std::move(message)};
    }

    // A member of a family written without it, such as "meter".
    std::optional<std::string> qualified;
    if (find_time_kind(name)) qualified = concat("time::", name);
    if (find_math_kind(name)) qualified = concat("math::", name);
    if (const auto unit = find_unit(name)) qualified = concat("physics::", unit_name(*unit));
    if (qualified) {
        std::string message = did_you_mean(*qualified);
        return Suggestion{std::move(*qualified), std::move(message)};
    }
    // The names from other languages count too, for what they stand for ("flaot").
    Nearest nearest(name);
    for (const std::string_view p : kPrimitives) nearest.consider(p);
    for (const CommonName& c : kCommonTypes) nearest.consider(c.written, c.meant);
    for (const std::string& d : declared) nearest.consider(d);
    auto best = nearest.best();
    if (!best) return std::nullopt;
    std::string message = did_you_mean(*best);
    return Suggestion{std::move(*best), std::move(message)};
}

struct Invisible {
    char32_t code;
    std::string_view name;
    bool joiner;  // written between letters by some scripts and emoji: hidden only beside ASCII
};
constexpr Invisible kInvisible[] = {
    {0x061C, "ARABIC LETTER MARK", false},
    {0x200B, "ZERO WIDTH SPACE", false},
    {0x200C, "ZERO WIDTH NON-JOINER", true},
    {0x200D, "ZERO WIDTH JOINER", true},
    {0x200E, "LEFT-TO-RIGHT MARK", false},
    {0x200F, "RIGHT-TO-LEFT MARK", false},
    {0x202A, "LEFT-TO-RIGHT EMBEDDING", false},
    {0x202B, "RIGHT-TO-LEFT EMBEDDING", false},
    {0x202C, "POP DIRECTIONAL FORMATTING", false},
    {0x202D, "LEFT-TO-RIGHT OVERRIDE", false},
    {0x202E, "RIGHT-TO-LEFT OVERRIDE", false},
    {0x2060, "WORD JOINER", false},
    {0x2066, "LEFT-TO-RIGHT ISOLATE", false},
    {0x2067, "RIGHT-TO-LEFT ISOLATE", false},
    {0x2068, "FIRST STRONG ISOLATE", false},
    {0x2069, "POP DIRECTIONAL ISOLATE", false},
    {0xFEFF, "ZERO WIDTH NO-BREAK SPACE (byte-order mark)", false},
};

const Invisible* invisible(char32_t c) {
    for (const Invisible& entry : kInvisible)
        if (entry.code == c) return &entry;
    return nullptr;
}

std::string code_point(char32_t c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string digits;
    for (int shift = 12; shift >= 0; shift -= 4) digits += kHex[(c >> shift) & 0xF];
    return concat("U+", digits);
}

}  // namespace

std::size_t hint_threshold(std::size_t length) {
    return std::max<std::size_t>(1, length / 3);
}

static_assert(kMaxHintedLength <= 64, "a hinted name is compared as one 64-bit word");

Pattern::Pattern(const std::u32string& text) : size(text.size()) {
    if (size > 64) return;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint64_t bit = std::uint64_t{1} << i;
        const char32_t c = text[i];
        if (c < 128) {
            ascii[c] |= bit;
            continue;
        }
        auto it = std::find_if(other.begin(), other.end(),
                               [&](const auto& entry) { return entry.first == c; });
        if (it == other.end()) {
            other.emplace_back(c, bit);
        } else {
            it->second |= bit;
        }
    }
}

std::uint64_t Pattern::positions(char32_t c) const {
    if (c < 128) return ascii[c];
    for (const auto& [value, bits] : other)
        if (value == c) return bits;
    return 0;
}

std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit) {
    std::u32string x = decode(a), y = decode(b);
    if (x.size() > y.size()) std::swap(x, y);  // the distance is symmetric
    if (x.size() > 64) return limit + 1;
    return distance(Pattern(x), y, limit);
}

Candidate::Candidate(std::string_view compared, std::string_view replacement)
    : scalars(decode(compared)), counts(tally(scalars)), replacement(replacement) {}

Nearest::Nearest(std::string_view name)
    : name_(decode(name)), counts_(tally(name_)), pattern_(name_), best_(kFar), second_(kFar) {
    limit_ = name_.size() > kMaxHintedLength ? 0 : hint_threshold(name_.size());
    cutoff_ = limit_ + 2;  // far enough to tell whether a runner-up is within the margin
}

void Nearest::consider(const Candidate& candidate) {
    if (limit_ == 0 || candidate.scalars == name_) return;
    if (tally_gap(counts_, candidate.counts) > 2 * cutoff_) return;
    const std::size_t d = distance(pattern_, candidate.scalars, cutoff_);
    if (d > cutoff_) return;
    const std::string& replacement = candidate.replacement;
    if (d < best_) {
        if (best_ != kFar && replacement_ != replacement) second_ = best_;
        best_ = d;
        replacement_ = replacement;
    } else if (replacement != replacement_ && d < second_) {
        second_ = d;
    }
}

std::optional<std::string> Nearest::best() const {
    if (best_ > limit_) return std::nullopt;
    const std::size_t margin = best_ >= 2 ? 2 : 1;
    if (second_ != kFar && second_ < best_ + margin) return std::nullopt;
    return replacement_;
}

std::optional<Suggestion> suggest_directive(std::string_view name) {
    if (const CommonName* entry = common(kCommonDirectives, name))
        return Suggestion{concat("@", entry->meant), std::string(entry->message)};
    Nearest nearest(name);
    for (const std::string_view d : {"import", "type", "schema", "derive"}) nearest.consider(d);
    auto best = nearest.best();
    if (!best) return std::nullopt;
    std::string replacement = concat("@", *best);
    std::string message = did_you_mean(replacement);
    return Suggestion{std::move(replacement), std::move(message)};
}

std::optional<Suggestion> suggest_type(std::string_view name,
                                       const std::vector<std::string>& declared) {
    auto s = suggest_type_at(name, declared, 0);
    // A list whose every part is known already has nothing to mend.
    if (s && s->replacement == name) return std::nullopt;
    return s;
}

std::vector<Candidate> candidates(const std::vector<std::string>& names) {
    std::vector<Candidate> out;
    out.reserve(names.size());
    for (const std::string& name : names) out.emplace_back(name);
    return out;
}

std::optional<Suggestion> suggest_name(std::string_view name,
                                       const std::vector<Candidate>& candidates) {
    Nearest nearest(name);
    for (const Candidate& c : candidates) nearest.consider(c);
    auto best = nearest.best();
    if (!best) return std::nullopt;
    std::string message = did_you_mean(*best);
    return Suggestion{std::move(*best), std::move(message)};
}

std::optional<HiddenCharacters> hidden_characters(std::string_view key) {
    // Keys are mostly ASCII: nothing to decode then.
    if (std::all_of(key.begin(), key.end(), [](char c) { return (c & 0x80) == 0; }))
        return std::nullopt;
    std::vector<std::size_t> starts;
    const std::u32string scalars = decode(key, &starts);
    HiddenCharacters found;
    for (std::size_t i = 0; i < scalars.size(); ++i) {
        const Invisible* entry = invisible(scalars[i]);
        if (entry != nullptr && entry->joiner) {
            // Between two letters of a script that joins them it is part of the writing.
            const bool edge = i == 0 || i + 1 == scalars.size();
            const bool beside_ascii = (i > 0 && scalars[i - 1] < 0x80) ||
                                      (i + 1 < scalars.size() && scalars[i + 1] < 0x80);
            if (!edge && !beside_ascii) entry = nullptr;
        }
        if (entry == nullptr) {
            found.cleaned.append(key.substr(starts[i], starts[i + 1] - starts[i]));
        } else if (found.count++ == 0) {
            found.first = concat(code_point(entry->code), " ", entry->name);
        }
    }
    if (found.count == 0) return std::nullopt;
    return found;
}

}  // namespace qern::analysis
