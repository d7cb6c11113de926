#include "qern/parsing.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "qern/document.hpp"
#include "qern/merge_context.hpp"
#include "qern/rules.hpp"
#include "qern/text.hpp"

namespace qern {

namespace {

struct Assignment {
    std::string_view key;
    std::string_view value;
    std::uint64_t hash;
    SourceLine where;
};

// "key = value": split at the first '=' outside brackets and braces.
Result<Assignment> split_assignment(const QernDocument& doc, std::string_view line,
                                    const SourceLine& where) {
    AssignmentSyntax parts;
    const AssignmentFault fault = qern::split_assignment(line, parts);
    if (fault != AssignmentFault::None) return assignment_error(where.line, line, fault);
    return Assignment{parts.key, parts.value, doc.data().hash(parts.key), where};
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
    std::unique_ptr<const ObjectListReading> reading;
    if (doc.schemas().size() != 0) {
        if (auto owner = doc.schemas().owner_of(a.key)) {
            auto valid = doc.builtins().validate_field(doc, owner->type, a.value, owner->schema,
                                                       a.key, 0, &reading);
            if (!valid) return valid;
            checked = true;
        }
    }
    if (MergeObserver* observer = doc.merge_context()->observer())
        observer->on_assignment(*doc.merge_context(), doc, a.key, a.value, a.where, checked);
    doc.data().assign_hashed(a.key, a.value, a.hash, std::move(reading));
    return success();
}

// A failing statement gets its location, unless a nested merge gave it one already. A
// recovering merge hands it on and goes on; any other merge ends with it.
Result<void> settle(MergeContext& context, QernError error, const SourceLine& where,
                    std::string_view statement, std::string_view first_clean = {}) {
    if (error.location() == nullptr) {
        const ErrorPlace place = error_place(error, statement, first_clean);
        // A statement may fail after taking effect (a @derive whose required fields are
        // missing keeps what it merged). Running out of memory while saying where must not
        // turn that error into an exception that claims nothing happened: the error then
        // goes on without its place.
        try {
            error.set_location(context.locate(where, place.part, place.to_end));
        } catch (const std::bad_alloc&) {
        }
    }
    if (!context.recovering()) return error;
    context.report(std::move(error));
    return success();
}

}  // namespace

Result<void> dispatch(QernDocument& doc, std::string_view statement, std::size_t line) {
    const DirectiveSyntax d = split_directive(statement);
    if (d.name.empty()) return empty_directive_error(line, statement);
    const auto it = doc.commands().find(d.name);
    if (it == doc.commands().end()) return unknown_directive_error(line, statement, d.name);
    // Hold a reference while the handler runs, whatever it does to the document.
    const std::shared_ptr<const Command> handler = it->second;
    return handler->execute(doc, d.args);
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
    text.remove_prefix(byte_order_mark(text));
    std::size_t line_no = 0;
    std::size_t pos = 0;
    // A directive whose braces are not yet balanced collects the following lines. The
    // brace counts grow with each appended line, so joining stays linear. An observer
    // is told where the parts of a joined statement were written.
    bool block_open = false;
    JoinedBlock block;
    const bool map_blocks = context.observer() != nullptr;
    SourceLine block_where;
    std::string_view block_first;  // the first line, cleaned: the start of the buffer
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
        context.note_failed_key(a.key);
        return settle(context, std::move(stored).error(), a.where, clean_line(a.where.first));
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
        const std::string_view statement = block.statement();
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
        const std::string_view raw = next_line(text, pos);
        ++line_no;
        const std::string_view line = clean_line(raw);

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
            if (opens_block(line, count)) {
                block_open = true;
                block.start(raw, line, line_no, map_blocks);
                block_where = where;
                block_where.block = map_blocks ? &block : nullptr;
                block_first = line;
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

        block_where.end_line = line_no;
        block_where.last = raw;
        if (block.append(raw, line, line_no)) {
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
