#include "qern/syntax.hpp"

#include <algorithm>
#include <limits>

#include "qern/merge_context.hpp"
#include "qern/rules.hpp"

namespace qern {

namespace {

// What a statement (cleaned, blocks joined) is and whether its text alone makes it fail:
// the checks the merge and the directive handlers make before anything else.
struct Reading {
    StatementKind kind;
    bool fails;
};

Reading classify(std::string_view statement) {
    if (statement.front() != '@') {
        AssignmentSyntax a;
        return split_assignment(statement, a) == AssignmentFault::None
                   ? Reading{StatementKind::Assignment, false}
                   : Reading{StatementKind::Invalid, true};
    }
    const DirectiveSyntax d = split_directive(statement);
    if (d.name.empty()) return {StatementKind::Invalid, true};
    switch (directive_kind(d.name)) {
        case DirectiveKind::Import:
            return {StatementKind::Import, !import_path(d.args).has_value()};
        case DirectiveKind::Type: {
            TypeSyntax t;
            return {StatementKind::Type, split_type(d.args, t) != TypeFault::None};
        }
        case DirectiveKind::Schema:
            return {StatementKind::Schema, read_schema(d.args).fault != SchemaSyntax::Fault::None};
        case DirectiveKind::Derive:
            return {StatementKind::Derive, false};
        case DirectiveKind::Unknown:
            break;
    }
    return {StatementKind::UnknownDirective, true};
}

}  // namespace

SyntaxTree::SyntaxTree(std::string_view text) : text_(text), bom_(byte_order_mark(text)) {
    // One entry per line, sized once: the text's line feeds bound the lines.
    const std::size_t lines =
        static_cast<std::size_t>(std::count(text.begin() + bom_, text.end(), '\n')) + 1;
    starts_.reserve(lines);
    kinds_.reserve(lines);

    // A start past another 2^32 bytes (a line may pass several) is marked in wraps_.
    const auto add_line = [&](std::size_t start) {
        const std::size_t before = starts_.empty() ? 0 : line_start(starts_.size()) >> 32;
        for (std::size_t high = before; high < start >> 32; ++high)
            wraps_.push_back(starts_.size());
        starts_.push_back(static_cast<std::uint32_t>(start));
    };
    const auto mark = [&](std::size_t n, Reading r, bool block) {
        kinds_[n - 1] = static_cast<std::uint8_t>(
            static_cast<std::uint8_t>(r.kind) | (r.fails ? kFailBit : 0) | (block ? kBlockBit : 0));
    };

    JoinedBlock block;
    bool block_open = false;
    std::size_t block_line = 0;
    std::size_t pos = bom_;
    std::size_t n = 0;
    while (pos < text.size()) {
        add_line(pos);
        const std::string_view raw = next_line(text, pos);
        ++n;
        const std::string_view line = clean_line(raw);
        if (block_open) {
            kinds_.push_back(kContinuation);
            if (block.append(raw, line, n)) {
                block_open = false;
                mark(block_line, classify(block.statement()), true);
                blocks_.push_back({block_line, n});
            }
            continue;
        }
        kinds_.push_back(0);
        if (line.empty()) {
            const bool comment = strip_comment(raw).size() != raw.size();
            mark(n, {comment ? StatementKind::Comment : StatementKind::Blank, false}, false);
            continue;
        }
        BraceCount count;
        if (opens_block(line, count)) {
            block.start(raw, line, n, false);
            block_open = true;
            block_line = n;
            continue;
        }
        mark(n, classify(line), false);
    }
    if (block_open) {
        mark(block_line, classify(block.statement()), true);
        blocks_.push_back({block_line, n});
    }
}

std::size_t SyntaxTree::line_start(std::size_t n) const {
    const std::size_t i = n - 1;
    const auto high = static_cast<std::size_t>(std::upper_bound(wraps_.begin(), wraps_.end(), i) -
                                               wraps_.begin());
    return (high << 32) | starts_[i];
}

Span SyntaxTree::line(std::size_t n) const {
    if (n == 0 || n > kinds_.size()) return {text_.size(), text_.size()};
    const std::size_t begin = line_start(n);
    std::size_t end = n < kinds_.size() ? line_start(n + 1) : text_.size();
    if (end > begin && text_[end - 1] == '\n') {
        --end;
        if (end > begin && text_[end - 1] == '\r') --end;
    }
    return {begin, end};
}

std::string_view SyntaxTree::line_text(std::size_t n) const {
    const Span s = line(n);
    return text_.substr(s.begin, s.size());
}

std::string_view SyntaxTree::line_ending(std::size_t n) const {
    if (n == 0 || n > kinds_.size()) return {};
    const Span s = line(n);
    const std::size_t next = n < kinds_.size() ? line_start(n + 1) : text_.size();
    return text_.substr(s.end, next - s.end);
}

Span SyntaxTree::content(std::size_t n) const {
    const std::string_view raw = line_text(n);
    const std::string_view cleaned = clean_line(raw);
    const auto begin = static_cast<std::size_t>(cleaned.data() - text_.data());
    return {begin, begin + cleaned.size()};
}

std::optional<Span> SyntaxTree::comment(std::size_t n) const {
    const Span s = line(n);
    const std::string_view raw = text_.substr(s.begin, s.size());
    const std::size_t cut = strip_comment(raw).size();
    if (cut == raw.size()) return std::nullopt;
    return Span{s.begin + cut, s.end};
}

SyntaxTree::Entry SyntaxTree::entry(std::size_t n) const {
    if (n == 0 || n > kinds_.size()) return {};
    std::size_t first = n;
    if ((kinds_[n - 1] & kKindMask) == kContinuation || (kinds_[n - 1] & kBlockBit) != 0) {
        auto it = std::upper_bound(blocks_.begin(), blocks_.end(), n,
                                   [](std::size_t l, const Block& b) { return l < b.line; });
        --it;
        first = it->line;
        const std::uint8_t bits = kinds_[first - 1];
        return {static_cast<StatementKind>(bits & kKindMask), first, it->end_line,
                (bits & kFailBit) != 0, true};
    }
    const std::uint8_t bits = kinds_[n - 1];
    return {static_cast<StatementKind>(bits & kKindMask), n, n, (bits & kFailBit) != 0, false};
}

Statement SyntaxTree::statement(const Entry& entry) const {
    Statement st;
    st.kind = entry.kind;
    st.line = entry.line;
    st.end_line = entry.end_line;
    st.fails = entry.fails;
    if (entry.line == 0) return st;

    // The statement's text as the merge reads it: a line, or a block's lines joined. A
    // view into a joined text is placed back into the lines it came from.
    std::string_view statement;
    const JoinedBlock* block = nullptr;
    if (entry.block) {
        auto joined = std::make_shared<JoinedBlock>();
        for (std::size_t n = entry.line; n <= entry.end_line; ++n) {
            const std::string_view raw = line_text(n);
            if (n == entry.line)
                joined->start(raw, clean_line(raw), n, true);
            else
                joined->append(raw, clean_line(raw), n);
        }
        block = joined.get();
        statement = joined->statement();
        st.joined_ = std::move(joined);
    } else {
        statement = clean_line(line_text(entry.line));
    }
    const auto part = [&](std::string_view view) -> Part {
        if (view.data() == nullptr) return {};
        if (block == nullptr) {
            const auto begin = static_cast<std::size_t>(view.data() - text_.data());
            return {{begin, begin + view.size()}, view};
        }
        const auto at = static_cast<std::size_t>(view.data() - block->text().data());
        const JoinedBlock::Segment& first = block->segment_at(at);
        const JoinedBlock::Segment& last =
            block->segment_at(view.empty() ? at : at + view.size() - 1);
        const auto place = [&](const JoinedBlock::Segment& s, std::size_t offset) {
            const auto start = static_cast<std::size_t>(s.cleaned.data() - text_.data());
            return start + std::min(offset - s.at, s.cleaned.size());
        };
        const std::size_t begin = place(first, at);
        const std::size_t end = place(last, at + view.size());
        // Within one line, the text is the line's own bytes.
        if (&first == &last) return {{begin, end}, text_.substr(begin, end - begin)};
        return {{begin, end}, view};
    };
    st.content = part(statement);
    if (statement.empty()) return st;
    if (statement.front() != '@') {
        AssignmentSyntax a;
        if (split_assignment(statement, a) == AssignmentFault::None || a.key.data() != nullptr) {
            st.key = part(a.key);
            st.equals = part(a.equals);
            st.literal = part(a.literal);
            st.value = part(a.value);
        }
        return st;
    }
    const DirectiveSyntax d = split_directive(statement);
    st.directive = part(d.word);
    st.args = part(d.args);
    switch (directive_kind(d.name)) {
        case DirectiveKind::Import:
            if (auto path = import_path(d.args)) st.path = part(*path);
            break;
        case DirectiveKind::Type: {
            TypeSyntax t;
            split_type(d.args, t);
            st.name = part(t.name);
            st.equals = part(t.equals);
            st.definition = part(t.definition);
            break;
        }
        case DirectiveKind::Schema: {
            const SchemaSyntax s = read_schema(d.args);
            st.name = part(s.name);
            st.open = part(s.open);
            st.close = part(s.close);
            st.fields.reserve(s.fields.size());
            for (const SchemaFieldSyntax& f : s.fields) {
                FieldPart fp;
                fp.name = part(f.name);
                fp.marks = part(f.marks);
                fp.type = part(f.type);
                fp.optional = f.optional;
                fp.expects_type = f.expects_type;
                st.fields.push_back(fp);
            }
            break;
        }
        case DirectiveKind::Derive: {
            const DeriveSyntax t = split_target(d.args);
            st.path = part(t.path);
            for (const std::string_view s : t.schemas) st.selectors.push_back(part(s));
            break;
        }
        case DirectiveKind::Unknown:
            break;
    }
    return st;
}

std::optional<QernError> SyntaxTree::error(const Entry& entry) const {
    if (!entry.fails) return std::nullopt;
    const Statement st = statement(entry);
    const std::string_view statement = st.content.text;
    std::optional<QernError> error;
    if (statement.front() != '@') {
        AssignmentSyntax a;
        error = assignment_error(entry.line, statement, split_assignment(statement, a));
    } else {
        const DirectiveSyntax d = split_directive(statement);
        if (d.name.empty()) {
            error = empty_directive_error(entry.line, statement);
        } else {
            switch (directive_kind(d.name)) {
                case DirectiveKind::Import:
                    error = import_path_error(d.args);
                    break;
                case DirectiveKind::Type: {
                    TypeSyntax t;
                    error = type_error(d.args, split_type(d.args, t));
                    break;
                }
                case DirectiveKind::Schema:
                    error = schema_error(read_schema(d.args));
                    break;
                case DirectiveKind::Derive:
                    return std::nullopt;
                case DirectiveKind::Unknown:
                    error = unknown_directive_error(entry.line, statement, d.name);
                    break;
            }
        }
    }
    // Placed as the merge places it: on the statement's first line, or all of it.
    const SourceLine where{entry.line, entry.end_line, line_text(entry.line),
                           line_text(entry.end_line), nullptr};
    const std::string_view first = entry.block ? clean_line(where.first) : std::string_view();
    const ErrorPlace place = error_place(*error, statement, first);
    error->set_location(locate_in(where, place.part, place.to_end));
    return error;
}

std::size_t SyntaxTree::line_index(std::size_t offset) const {
    // The last line starting at or before `offset`.
    std::size_t lo = 1, hi = kinds_.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo + 1) / 2;
        if (line_start(mid) <= offset)
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo;
}

SyntaxTree::Position SyntaxTree::position(std::size_t offset) const {
    if (kinds_.empty()) return {1, 1};
    offset = std::min(offset, text_.size());
    const std::size_t n = line_index(offset);
    const Span s = line(n);
    return {n, column_at(text_.substr(s.begin, s.size()), std::min(offset, s.end) - s.begin)};
}

std::size_t SyntaxTree::offset(std::size_t line_no, std::size_t column) const {
    if (line_no == 0 || line_no > kinds_.size()) return text_.size();
    const Span s = line(line_no);
    std::size_t offset = s.begin;
    for (std::size_t c = 1; c < column && offset < s.end; ++c) {
        ++offset;
        while (offset < s.end && (static_cast<unsigned char>(text_[offset]) & 0xC0) == 0x80)
            ++offset;
    }
    return offset;
}

Piece SyntaxTree::piece_at(std::size_t offset) const {
    if (kinds_.empty()) return {};
    offset = std::min(offset, text_.size());
    const std::size_t n = line_index(offset);
    if (const auto c = comment(n); c && offset > c->begin) return {};
    const Statement st = statement(entry(n));
    if (!st.content.exists() || st.content.text.empty()) return {};
    // The part when the place falls in it (its ends included); else, when the place falls
    // in `region` (where such a part is written), an empty part at the place.
    const auto in = [&](Role role, const Part& p, Span region) -> Piece {
        if (p.exists() && p.span.contains(offset)) return {role, p, {}, {}};
        if (region.contains(offset))
            return {role, {{offset, offset}, text_.substr(offset, 0)}, {}, {}};
        return {};
    };
    const Span line_span = line(n);
    if (!st.directive.exists()) {
        const bool before = !st.equals.exists() || offset <= st.equals.span.begin;
        if (before)
            return in(Role::Key, st.key,
                      {line_span.begin, st.equals.exists() ? st.equals.span.begin : line_span.end});
        return in(Role::Value, st.literal, {st.equals.span.end, line_span.end});
    }
    if (n == st.line && offset >= st.directive.span.begin &&
        (offset < st.directive.span.end ||
         (offset == st.directive.span.end && st.args.text.empty())))
        return {Role::Directive, st.directive, {}, {}};
    const Span args = st.args.span;
    switch (st.kind) {
        case StatementKind::Import: {
            const std::size_t lead = st.args.text.size() - trim_start(st.args.text).size();
            const std::size_t tail = st.args.text.size() - trim_end(st.args.text).size();
            if (args.size() != st.args.text.size()) return {};
            return in(Role::ImportPath, st.path, {args.begin + lead, args.end - tail});
        }
        case StatementKind::Type: {
            if (!st.equals.exists() || offset <= st.equals.span.begin)
                return in(Role::TypeName, st.name,
                          {args.begin, st.equals.exists() ? st.equals.span.begin : args.end});
            // On a line of its own, the definition is written up to the line's end (a blank
            // after "=" is where one is typed).
            const std::size_t end = st.line == st.end_line ? line_span.end : args.end;
            return in(Role::TypeDefinition, st.definition, {st.equals.span.end, end});
        }
        case StatementKind::Schema: {
            if (st.open.exists() && offset <= st.open.span.begin) {
                Piece p = in(Role::SchemaName, st.name, {args.begin, st.open.span.begin});
                return p;
            }
            const std::string_view schema = st.name.text;
            for (const FieldPart& f : st.fields) {
                if (f.name.span.contains(offset)) return {Role::FieldName, f.name, schema, {}};
                if (!f.expects_type && f.type.span.contains(offset))
                    return {Role::FieldType, f.type, schema, {}};
            }
            // A blank after "name:" with no type yet, before the body ends, is where the
            // type goes.
            if (!st.fields.empty() && st.fields.back().expects_type &&
                offset >= st.fields.back().type.span.end &&
                offset <= (st.close.exists() ? st.close.span.begin : st.content.span.end))
                return {Role::FieldType, {{offset, offset}, text_.substr(offset, 0)}, schema, {}};
            return {};
        }
        case StatementKind::Derive: {
            if (st.path.exists() && st.path.span.contains(offset))
                return {Role::DerivePath, st.path, {}, {}};
            // The selector's regions, each a name or a place for one; only where the
            // argument stands on one line as written.
            const std::string_view a = st.args.text;
            if (args.size() != a.size() || a.data() != text_.data() + args.begin) return {};
            const DeriveSyntax target = split_target(a);
            Piece found;
            for_each_selector_region(target.selector, [&](std::string_view region) {
                const auto begin = static_cast<std::size_t>(region.data() - text_.data());
                const std::string_view name = trim(region);
                const auto name_begin = static_cast<std::size_t>(name.data() - text_.data());
                const Part p{{name_begin, name_begin + name.size()}, name};
                if (found.role == Role::None) {
                    Piece c = in(Role::DeriveSchema, name.empty() ? Part{} : p,
                                 {begin, begin + region.size()});
                    if (c.role != Role::None) found = c;
                }
            });
            found.path = st.path.text;
            return found.role == Role::None ? Piece{} : found;
        }
        default:
            return {};
    }
}

std::size_t SyntaxTree::memory_bytes() const {
    return starts_.capacity() * sizeof(std::uint32_t) + wraps_.capacity() * sizeof(std::size_t) +
           kinds_.capacity() + blocks_.capacity() * sizeof(Block);
}

}  // namespace qern
