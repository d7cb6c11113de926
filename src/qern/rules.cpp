#include "qern/rules.hpp"

#include <algorithm>

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

QernError schema_error(std::string message) {
    return QernError::directive(kSchemaName, std::move(message), ErrorKind::SchemaDirective);
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

const JoinedBlock::Segment& JoinedBlock::segment_at(std::size_t offset) const {
    auto it = std::upper_bound(segments_.begin(), segments_.end(), offset,
                               [](std::size_t o, const Segment& s) { return o < s.at; });
    return it == segments_.begin() ? *it : *(it - 1);
}

QernError assignment_error(std::size_t line_no, std::string_view line, AssignmentFault fault) {
    if (fault == AssignmentFault::EmptyKey)
        return QernError::parse(line_no, line, "Key cannot be empty");
    return QernError::parse(line_no, line, "Missing assignment operator '='");
}

QernError empty_directive_error(std::size_t line_no, std::string_view statement) {
    return QernError::parse(line_no, statement.substr(1), "Empty directive");
}

QernError unknown_directive_error(std::size_t line_no, std::string_view statement,
                                  std::string_view name) {
    return QernError::parse(line_no, statement.substr(1), concat("Unknown directive: @", name),
                            ErrorKind::UnknownDirective);
}

QernError import_path_error(std::string_view args) {
    return QernError::parse(0, args, "Import path cannot be empty", ErrorKind::Import);
}

QernError type_error(std::string_view args, TypeFault fault) {
    switch (fault) {
        case TypeFault::EmptyName:
            return QernError::parse(0, args, "Type name cannot be empty", ErrorKind::TypeDirective);
        case TypeFault::EmptyDefinition:
            return QernError::parse(0, args, "Type definition cannot be empty",
                                    ErrorKind::TypeDirective);
        case TypeFault::None:
        case TypeFault::NoEquals:
            break;
    }
    return QernError::parse(0, args, "Type definition must be in the format 'name = definition'",
                            ErrorKind::TypeDirective);
}

SchemaSyntax read_schema(std::string_view args) {
    SchemaSyntax s;
    const std::string_view t = trim(args);
    const std::size_t open = t.find('{');
    if (open == std::string_view::npos) {
        s.fault = SchemaSyntax::Fault::NoOpen;
        return s;
    }
    s.open = t.substr(open, 1);
    s.name = trim(t.substr(0, open));
    if (s.name.empty()) {
        s.fault = SchemaSyntax::Fault::EmptyName;
        return s;
    }
    const std::size_t close = t.rfind('}');
    if (close == std::string_view::npos || close < open) {
        s.fault = SchemaSyntax::Fault::NoClose;
        return s;
    }
    s.close = t.substr(close, 1);

    // Commas count as blanks: the body is split into tokens at both.
    const std::string_view body = t.substr(open + 1, close - open - 1);
    std::vector<std::string_view> tokens;
    std::size_t pos = 0;
    while (pos < body.size()) {
        std::size_t end = pos;
        std::size_t gap = 0;
        while (end < body.size()) {
            if (body[end] == ',') {
                gap = 1;
                break;
            }
            if ((gap = whitespace_at(body, end)) != 0) break;
            ++end;
        }
        if (end > pos) tokens.push_back(body.substr(pos, end - pos));
        pos = end + gap;
    }

    for (std::size_t i = 0; i < tokens.size(); ++i) {
        SchemaFieldSyntax f;
        f.token = tokens[i];
        const std::size_t colon = f.token.find(':');
        if (colon == std::string_view::npos) {
            f.fault = SchemaFieldSyntax::Fault::NoColon;
            f.label = f.name = f.token;
        } else {
            f.label = f.token.substr(0, colon);
            f.type = f.token.substr(colon + 1);
            if (f.type.empty()) {
                if (i + 1 >= tokens.size()) {
                    f.fault = SchemaFieldSyntax::Fault::NoType;
                    f.expects_type = true;
                    f.type = f.token.substr(f.token.size());
                } else {
                    f.type = tokens[++i];
                }
            }
            f.name = f.label;
            while (!f.name.empty() && f.name.back() == '*') f.name.remove_suffix(1);
            f.marks = f.label.substr(f.name.size());
            f.optional = !f.marks.empty();
            if (f.fault == SchemaFieldSyntax::Fault::None && f.name.empty())
                f.fault = SchemaFieldSyntax::Fault::EmptyName;
        }
        if (f.fault != SchemaFieldSyntax::Fault::None && s.fault == SchemaSyntax::Fault::None) {
            s.fault = SchemaSyntax::Fault::Field;
            s.faulty_field = s.fields.size();
        }
        s.fields.push_back(f);
    }
    return s;
}

QernError schema_error(const SchemaSyntax& schema) {
    switch (schema.fault) {
        case SchemaSyntax::Fault::NoOpen:
            return schema_error("Expected '{'");
        case SchemaSyntax::Fault::EmptyName:
            return schema_error("Schema name is empty");
        case SchemaSyntax::Fault::NoClose:
            return schema_error("Expected '}'");
        case SchemaSyntax::Fault::None:
        case SchemaSyntax::Fault::Field:
            break;
    }
    const SchemaFieldSyntax& f = schema.fields[schema.faulty_field];
    if (f.fault == SchemaFieldSyntax::Fault::NoColon)
        return schema_error(concat("Bad field: '", f.token, "'"));
    if (f.fault == SchemaFieldSyntax::Fault::NoType)
        return schema_error(concat("Bad field: '", f.label, ":' has no type"));
    // The name is empty, or nothing but '*'s: the message shows it emptied.
    return schema_error(concat("Bad field: '", f.name, ": ", f.type, "'"));
}

DeriveSyntax split_target(std::string_view args) {
    const std::string_view t = trim(args);
    std::string_view path = t;
    std::string_view selector;
    if (!t.empty() && (t.front() == '"' || t.front() == '\'')) {
        const std::size_t close = t.find(t.front(), 1);
        if (close != std::string_view::npos) {
            path = t.substr(1, close - 1);
            std::size_t rest = close + 1;
            while (rest < t.size() && t[rest] == ':') ++rest;
            selector = trim(t.substr(rest));
        }
    } else if (const std::size_t sep = t.find("::"); sep != std::string_view::npos) {
        path = t.substr(0, sep);
        selector = t.substr(sep + 2);
    }
    DeriveSyntax target{trim(path), selector, {}};
    for_each_selector_region(selector, [&](std::string_view region) {
        const std::string_view piece = trim(region);
        if (!piece.empty()) target.schemas.push_back(piece);
    });
    return target;
}

std::string_view offending_part(const QernError& error, std::string_view statement) {
    if (statement.empty()) return {};
    if (statement.front() == '@') {
        if (error.kind() == ErrorKind::Parse) return {};  // no directive name
        const DirectiveSyntax d = split_directive(statement);
        if (error.kind() == ErrorKind::UnknownDirective) return d.word;
        if (const auto& subject = error.subject(); subject && subject->offset <= d.args.size() &&
                                                   subject->size <= d.args.size() - subject->offset)
            return d.args.substr(subject->offset, subject->size);
        return trim(d.args);
    }
    if (error.kind() == ErrorKind::Parse) return {};
    const std::size_t eq = assignment_split(statement);
    if (eq == std::string_view::npos) return {};
    return trim(statement.substr(eq + 1));
}

ErrorPlace error_place(const QernError& error, std::string_view statement, std::string_view first) {
    ErrorPlace place{offending_part(error, statement), false};
    if (first.data() != nullptr && !place.part.empty()) {
        const auto offset = static_cast<std::size_t>(place.part.data() - statement.data());
        if (offset < first.size()) {
            place.to_end = offset + place.part.size() > first.size();
            place.part = first.substr(offset, std::min(place.part.size(), first.size() - offset));
        } else {
            place.part = {};
        }
    }
    return place;
}

}  // namespace qern
