#include "qern/parsing.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "qern/document.hpp"
#include "qern/merge_context.hpp"
#include "qern/text.hpp"

namespace qern {

namespace {

// The bytes that may stand around a comment's '#'.
inline bool comment_boundary(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Non-zero when some byte of `block` equals `c`.
inline std::uint64_t has_byte(std::uint64_t block, char c) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    const std::uint64_t x = block ^ (ones * static_cast<unsigned char>(c));
    return (x - ones) & ~x & (ones << 7);
}

struct BraceCount {
    std::size_t open = 0;
    std::size_t close = 0;
    void add(std::string_view s) {
        for (char c : s) {
            open += c == '{';
            close += c == '}';
        }
    }
};

// Bytes that matter to the assignment split: 1 opens a bracket, 2 closes one, 3 is '='.
constexpr auto kSplitClass = [] {
    std::array<std::uint8_t, 256> t{};
    t['['] = t['{'] = 1;
    t[']'] = t['}'] = 2;
    t['='] = 3;
    return t;
}();

struct Assignment {
    std::string_view key;
    std::string_view value;
    std::uint64_t hash;
    SourceLine where;
};

// The position of the first '=' outside brackets and braces, or npos.
std::size_t assignment_split(std::string_view line) {
    long depth = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(line.data());
    for (std::size_t i = 0; i < line.size(); ++i) {
        const std::uint8_t cls = kSplitClass[p[i]];
        if (cls == 0) continue;
        if (cls == 1) {
            ++depth;
        } else if (cls == 2) {
            --depth;
        } else if (depth == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

// "key = value": split at the first '=' outside brackets and braces.
Result<Assignment> split_assignment(const QernDocument& doc, std::string_view line,
                                    const SourceLine& where) {
    const std::size_t eq = assignment_split(line);
    if (eq == std::string_view::npos)
        return QernError::parse(where.line, line, "Missing assignment operator '='");
    const std::string_view key = trim(line.substr(0, eq));
    if (key.empty()) return QernError::parse(where.line, line, "Key cannot be empty");
    return Assignment{key, unquote_value(trim(line.substr(eq + 1))), doc.data().hash(key), where};
}

// How many assignments the text can hold: each needs a line of its own with an '=' in it.
// Counts '=' and line feeds eight bytes at a time, in byte lanes summed before they overflow.
std::size_t assignment_bound(std::string_view text) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    const auto matches = [](std::uint64_t block, char c) {
        const std::uint64_t x = block ^ (ones * static_cast<unsigned char>(c));
        return (~(((x & low7) + low7) | x) & ~low7) >> 7;  // 1 in each lane where x is 0
    };
    const auto lane_sum = [](std::uint64_t lanes) {
        return static_cast<std::size_t>((lanes * ones) >> 56);
    };
    const char* p = text.data();
    std::size_t left = text.size();
    std::size_t equals = 0, feeds = 0;
    while (left >= 8) {
        // 31 blocks at most: the eight lanes then sum to no more than a byte holds.
        const std::size_t blocks = std::min<std::size_t>(left / 8, 31);
        std::uint64_t eq_lanes = 0, nl_lanes = 0;
        for (std::size_t i = 0; i < blocks; ++i, p += 8) {
            std::uint64_t block;
            std::memcpy(&block, p, 8);
            eq_lanes += matches(block, '=');
            nl_lanes += matches(block, '\n');
        }
        equals += lane_sum(eq_lanes);
        feeds += lane_sum(nl_lanes);
        left -= blocks * 8;
    }
    for (; left != 0; --left, ++p) {
        equals += *p == '=';
        feeds += *p == '\n';
    }
    return std::min(equals, feeds + 1);
}

Result<void> store(QernDocument& doc, const Assignment& a) {
    // A key that some schema declares as a field must hold a value of that field's type.
    bool checked = false;
    if (doc.schemas().size() != 0) {
        if (auto owner = doc.schemas().owner_of(a.key)) {
            auto valid =
                doc.builtins().validate_field(doc, owner->type, a.value, owner->schema, a.key, 0);
            if (!valid) return valid;
            checked = true;
        }
    }
    if (MergeObserver* observer = doc.merge_context()->observer())
        observer->on_assignment(*doc.merge_context(), doc, a.key, a.value, a.where, checked);
    doc.data().assign_hashed(a.key, a.value, a.hash);
    return success();
}

// The part of a failing statement that its error is about: the directive's name when it
// is unknown, the schema a @derive did not find, else the directive's argument; the value
// of an assignment that failed its check. Empty means the whole line.
std::string_view offending_part(const QernError& error, std::string_view statement) {
    if (statement.empty()) return {};
    if (statement.front() == '@') {
        const std::string_view rest = statement.substr(1);
        const WhitespaceHit ws = find_whitespace(rest);
        const bool split = ws.pos != std::string_view::npos;
        const std::string_view args = split ? rest.substr(ws.pos + ws.len) : std::string_view();
        if (const auto* p = error.as<QernError::Parse>()) {
            if (p->reason == "Empty directive") return {};
            if (p->reason.starts_with("Unknown directive: @"))
                return statement.substr(0, 1 + (split ? ws.pos : rest.size()));
        }
        const std::string_view t = trim(args);
        if (const auto* d = error.as<QernError::Directive>(); d != nullptr && d->name == "derive") {
            // "Schema 'X' not found": X where the selector names it.
            constexpr std::string_view head = "Schema '", tail = "' not found";
            const std::string_view m = d->message;
            if (m.starts_with(head) && m.ends_with(tail) && m.size() > head.size() + tail.size()) {
                const std::string_view name =
                    m.substr(head.size(), m.size() - head.size() - tail.size());
                const std::size_t at = t.rfind(name);
                if (at != std::string_view::npos) return t.substr(at, name.size());
            }
        }
        return t;
    }
    if (error.is<QernError::Parse>()) return {};
    const std::size_t eq = assignment_split(statement);
    if (eq == std::string_view::npos) return {};
    return trim(statement.substr(eq + 1));
}

// A failing statement gets its location, unless a nested merge gave it one already. A
// recovering merge hands it on and goes on; any other merge ends with it.
Result<void> settle(MergeContext& context, QernError error, const SourceLine& where,
                    std::string_view statement, std::string_view first_clean = {}) {
    if (error.location() == nullptr) {
        std::string_view part = offending_part(error, statement);
        bool to_end = false;
        if (first_clean.data() != nullptr && !part.empty()) {
            // A joined block: the part lies in its buffer, whose start copies the first line.
            const auto offset = static_cast<std::size_t>(part.data() - statement.data());
            if (offset < first_clean.size()) {
                to_end = offset + part.size() > first_clean.size();
                part = first_clean.substr(offset, part.size());
            } else {
                part = {};
            }
        }
        // A statement may fail after taking effect (a @derive whose required fields are
        // missing keeps what it merged). Running out of memory while saying where must not
        // turn that error into an exception that claims nothing happened: the error then
        // goes on without its place.
        try {
            error.set_location(context.locate(where, part, to_end));
        } catch (const std::bad_alloc&) {
        }
    }
    if (!context.recovering()) return error;
    context.report(std::move(error));
    return success();
}

}  // namespace

std::string_view strip_comment(std::string_view line) {
    const char* p = line.data();
    const std::size_t n = line.size();
    // Quotes matter only to a '#': a line without one has no comment, whatever it quotes.
    if (n == 0 || std::memchr(p, '#', n) == nullptr) return line;
    // Otherwise skip eight bytes at a time up to the first '#', '"' or '\''.
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t block;
        std::memcpy(&block, p + i, 8);
        if (has_byte(block, '#') | has_byte(block, '"') | has_byte(block, '\'')) break;
    }
    char quote = 0;
    for (; i < n; ++i) {
        const char c = p[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '#' && (i == 0 || comment_boundary(p[i - 1])) &&
                   (i + 1 == n || comment_boundary(p[i + 1]))) {
            return line.substr(0, i);
        }
    }
    return line;
}

Result<void> dispatch(QernDocument& doc, std::string_view statement, std::size_t line) {
    const std::string_view rest = statement.substr(1);
    const WhitespaceHit ws = find_whitespace(rest);
    const bool split = ws.pos != std::string_view::npos;
    const std::string_view name = trim(split ? rest.substr(0, ws.pos) : rest);
    const std::string_view args = split ? rest.substr(ws.pos + ws.len) : std::string_view();
    if (name.empty()) return QernError::parse(line, rest, "Empty directive");
    const auto it = doc.commands().find(name);
    if (it == doc.commands().end())
        return QernError::parse(line, rest, concat("Unknown directive: @", name));
    // Hold a reference while the handler runs, whatever it does to the document.
    const std::shared_ptr<const Command> handler = it->second;
    return handler->execute(doc, args);
}

Result<void> handle_statement(QernDocument& doc, std::string_view statement, std::size_t line) {
    if (statement.empty()) return success();
    if (statement.front() == '@') return dispatch(doc, statement, line);
    auto assignment =
        split_assignment(doc, statement, SourceLine{line, line, statement, statement});
    if (!assignment) return std::move(assignment).error();
    return store(doc, *assignment);
}

Result<void> merge_text(QernDocument& doc, std::string_view text) {
    MergeContext& context = *doc.merge_context();
    // A byte-order mark, as many editors write at the start of a file, is no part of the
    // first key.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    std::size_t line_no = 0;
    std::size_t pos = 0;
    // A directive whose braces are not yet balanced collects the following lines. The
    // brace counts grow with each appended line, so joining stays linear.
    bool block_open = false;
    std::string block;
    SourceLine block_where;
    std::string_view block_first;  // the first line, cleaned: the start of the buffer
    BraceCount braces;
    // Assignments are stored a few lines late: the index slot of each key is fetched from
    // memory while the lines before it are stored. Anything else first stores them all.
    constexpr std::size_t kAhead = 4;
    std::array<Assignment, kAhead> pending;
    std::size_t first_pending = 0, pending_count = 0;
    const auto store_first = [&]() -> Result<void> {
        const Assignment& a = pending[first_pending];
        first_pending = (first_pending + 1) % kAhead;
        --pending_count;
        auto stored = store(doc, a);
        if (stored) return stored;
        return settle(context, std::move(stored).error(), a.where,
                      trim(strip_comment(a.where.first)));
    };
    const auto flush = [&]() -> Result<void> {
        while (pending_count != 0) {
            auto stored = store_first();
            if (!stored) return stored;
        }
        return success();
    };
    const auto run_block = [&]() -> Result<void> {
        block_open = false;
        const std::string_view statement = trim(strip_comment(block));
        if (!statement.empty() && statement.front() == '@') context.set_statement(block_where);
        auto handled = handle_statement(doc, statement, block_where.line);
        if (handled) return handled;
        return settle(context, std::move(handled).error(), block_where, statement, block_first);
    };

    // Large texts are mostly assignments: size the map once instead of growing it line by
    // line, for as many as the text can hold. What the merge leaves unused is given back
    // when it ends, however it ends.
    const DataMap::Reservation reservation(doc.data(),
                                           text.size() >= 4096 ? assignment_bound(text) : 0);

    while (pos < text.size()) {
        const char* nl =
            static_cast<const char*>(std::memchr(text.data() + pos, '\n', text.size() - pos));
        const std::size_t end = nl ? static_cast<std::size_t>(nl - text.data()) : text.size();
        std::string_view raw = text.substr(pos, end - pos);
        pos = nl ? end + 1 : text.size();
        if (nl && !raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        ++line_no;
        const std::string_view line = trim(strip_comment(raw));

        if (!block_open) {
            if (line.empty()) continue;
            const SourceLine where{line_no, line_no, raw, raw};
            if (line.front() != '@') {
                auto assignment = split_assignment(doc, line, where);
                if (!assignment) {
                    auto flushed = flush();
                    if (!flushed) return flushed;
                    auto settled = settle(context, std::move(assignment).error(), where, line);
                    if (!settled) return settled;
                    continue;
                }
                doc.data().prefetch(assignment->hash);
                if (pending_count == kAhead) {
                    auto stored = store_first();
                    if (!stored) return stored;
                }
                pending[(first_pending + pending_count++) % kAhead] = *assignment;
                continue;
            }
            auto flushed = flush();
            if (!flushed) return flushed;
            BraceCount count;
            count.add(line);
            if (count.open > count.close) {
                block_open = true;
                block.assign(line);
                block_where = where;
                block_first = line;
                braces = count;
                continue;
            }
            context.set_statement(where);
            auto handled = dispatch(doc, line, line_no);
            if (!handled) {
                auto settled = settle(context, std::move(handled).error(), where, line);
                if (!settled) return settled;
            }
            continue;
        }

        block.push_back(' ');
        block.append(line);
        braces.add(line);
        block_where.end_line = line_no;
        block_where.last = raw;
        if (braces.close >= braces.open) {
            auto handled = run_block();
            if (!handled) return handled;
        }
    }
    auto flushed = flush();
    if (!flushed) return flushed;
    if (block_open) return run_block();
    return success();
}

}  // namespace qern
