#include "cli/render.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>

#include "qern/file.hpp"

namespace qern::cli {

namespace {

constexpr std::string_view kReset = "\x1b[0m";
constexpr std::string_view kBold = "\x1b[1m";
constexpr std::string_view kRed = "\x1b[1;31m";
constexpr std::string_view kMagenta = "\x1b[1;35m";
constexpr std::string_view kGreen = "\x1b[1;32m";
constexpr std::string_view kCyan = "\x1b[1;36m";
constexpr std::string_view kBlue = "\x1b[1;34m";

struct Painter {
    bool on;
    void operator()(std::string& out, std::string_view colour, std::string_view text) const {
        if (on) out.append(colour);
        out.append(text);
        if (on) out.append(kReset);
    }
};

bool continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// The scalar value a column's bytes encode, or none when they are no single well-formed
// UTF-8 sequence.
std::optional<char32_t> decode(std::string_view bytes) {
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    std::size_t n;
    char32_t c;
    if (b0 < 0x80) {
        n = 1;
        c = b0;
    } else if ((b0 & 0xE0) == 0xC0) {
        n = 2;
        c = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        n = 3;
        c = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        n = 4;
        c = b0 & 0x07;
    } else {
        return std::nullopt;
    }
    if (bytes.size() != n) return std::nullopt;
    for (std::size_t i = 1; i < n; ++i)
        c = (c << 6) | (static_cast<unsigned char>(bytes[i]) & 0x3F);
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    return c;
}

// Characters that would move the cursor, change the terminal's state or reorder the text
// around them when printed as they are.
bool unsafe_to_show(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void append_hex(std::string& out, std::uint32_t v, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(v >> shift) & 0xF];
}

// The cells of shown text: one per scalar value, or, where the bytes are no well-formed
// UTF-8, one per lead byte with the continuation bytes after it.
template <class F>
void for_each_cell(std::string_view text, F&& f) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t j = i + 1;
        while (j < text.size() && continuation(static_cast<unsigned char>(text[j]))) ++j;
        const std::string_view bytes = text.substr(i, j - i);
        f(bytes, decode(bytes));
        i = j;
    }
}

// A cell that cannot be shown as it is, written readably: "\n" and "\r", "\x1b" for the
// other ASCII control characters and for each byte of malformed UTF-8, "\u{202e}" for the
// rest. None for a cell that can be shown (a tab can: it only moves to the next stop).
std::optional<std::string> cell_escape(std::string_view bytes, std::optional<char32_t> c) {
    if (c && (*c == '\t' || !unsafe_to_show(*c))) return std::nullopt;
    std::string out;
    if (!c) {
        for (char b : bytes) {
            out += "\\x";
            append_hex(out, static_cast<unsigned char>(b), 2);
        }
    } else if (*c == '\n') {
        out = "\\n";
    } else if (*c == '\r') {
        out = "\\r";
    } else if (*c < 0x80) {
        out = "\\x";
        append_hex(out, *c, 2);
    } else {
        int digits = 1;
        while ((*c >> (4 * digits)) != 0) ++digits;
        out = "\\u{";
        append_hex(out, *c, digits);
        out += '}';
    }
    return out;
}

}  // namespace

std::string escape_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for_each_cell(text, [&](std::string_view bytes, std::optional<char32_t> c) {
        if (auto escaped = cell_escape(bytes, c)) {
            out += *escaped;
        } else {
            out.append(bytes);
        }
    });
    return out;
}

namespace {

std::string file_name(const std::optional<std::string>& file) {
    return file.value_or("<string>");
}

bool is_relative(std::string_view path) {
    return !path.empty() && path.front() != '/';
}

}  // namespace

unsigned scalar_width(char32_t c) {
    struct Range {
        char32_t first, last;
    };
    // Combining marks and zero-width characters.
    static constexpr Range kZero[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD},   {0x0610, 0x061A}, {0x064B, 0x065F},
        {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200D},   {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
        {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
    };
    // East Asian Wide and Fullwidth, sorted.
    static constexpr Range kWide[] = {
        {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
        {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
        {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
        {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
        {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
        {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
        {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
        {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
        {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
        {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
        {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
        {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
        {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
        {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F},
        {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
        {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
    };
    const auto within = [c](const Range* first, const Range* last) {
        const Range* r = std::upper_bound(first, last, c,
                                          [](char32_t v, const Range& x) { return v < x.first; });
        return r != first && c <= std::prev(r)->last;
    };
    if (c < 0x300) return 1;
    if (within(std::begin(kZero), std::end(kZero))) return 0;
    if (within(std::begin(kWide), std::end(kWide))) return 2;
    return 1;
}

Excerpt excerpt(std::string_view line, std::size_t column, std::size_t end_column, bool to_end) {
    if (column == 0) column = 1;
    enum class Shown : std::uint8_t { Bytes, Spaces, Escape };
    struct Cell {
        std::string_view bytes;
        Shown shown;
        std::size_t x, width;
        bool in_span;
        std::string escape;
    };
    std::vector<Cell> cells;
    std::size_t x = 0;  // display column, from 0
    std::size_t start = std::string::npos;
    // One column per scalar value, starting at each byte that is no continuation byte,
    // exactly as the merge counts them.
    std::size_t col = 1;
    for_each_cell(line, [&](std::string_view bytes, std::optional<char32_t> c) {
        Cell cell{bytes, Shown::Bytes, x, 1, false, {}};
        if (c && *c == '\t') {
            cell.shown = Shown::Spaces;
            cell.width = kTabWidth - x % kTabWidth;
        } else if (auto escaped = cell_escape(bytes, c)) {
            cell.shown = Shown::Escape;
            cell.escape = std::move(*escaped);
            cell.width = cell.escape.size();
        } else {
            cell.width = scalar_width(*c);
        }
        cell.in_span = col >= column && (to_end || col < end_column);
        if (col == column) start = x;
        x += cell.width;
        cells.push_back(std::move(cell));
        ++col;
    });
    const std::size_t total = x;
    if (start == std::string::npos) start = total;  // a span past the end of the line

    // A long line is shown in part: kMaxWidth columns from a little before the span.
    std::size_t from = 0, to = total;
    if (total > kMaxWidth) {
        from = start > kLead ? start - kLead : 0;
        to = std::min(total, from + kMaxWidth);
        from = to - kMaxWidth;
    }
    Excerpt out;
    if (from > 0) {
        out.line += "...";
        out.carets += "   ";
    }
    std::size_t at = from;  // where the rows have got to
    bool caret = false;
    for (const Cell& cell : cells) {
        if (cell.x < from) continue;
        if (cell.x + cell.width > to) break;
        out.line.append(cell.x - at, ' ');  // after a wide character cut off at the left
        out.carets.append(cell.x - at, ' ');
        switch (cell.shown) {
            case Shown::Bytes:
                out.line.append(cell.bytes);
                break;
            case Shown::Spaces:
                out.line.append(cell.width, ' ');
                break;
            case Shown::Escape:
                out.line.append(cell.escape);
                break;
        }
        out.carets.append(cell.width, cell.in_span ? '^' : ' ');
        caret |= cell.in_span && cell.width != 0;
        at = cell.x + cell.width;
    }
    if (to < total) out.line += "...";
    if (!caret) {
        // An empty span, or one past the end of the line: one caret where it starts.
        out.carets.resize((from > 0 ? 3 : 0) + (start - from), ' ');
        out.carets += '^';
    }
    while (!out.carets.empty() && out.carets.back() == ' ') out.carets.pop_back();
    return out;
}

std::optional<std::string_view> SourceCache::line(const std::string& file, std::size_t line) {
    auto it = files_.find(file);
    if (it == files_.end()) {
        Source source;
        if (auto opened = OpenFile::open(file)) {
            if (auto text = opened->read_text()) {
                source.readable = true;
                source.text = std::move(text).value();
            }
        }
        if (source.text.starts_with("\xEF\xBB\xBF")) source.text.erase(0, 3);
        const std::string_view text = source.text;
        for (std::size_t at = 0; at < text.size();) {
            source.starts.push_back(at);
            const void* nl = std::memchr(text.data() + at, '\n', text.size() - at);
            if (nl == nullptr) break;
            at = static_cast<std::size_t>(static_cast<const char*>(nl) - text.data()) + 1;
        }
        if (bytes_ + source.text.size() > kBudget) {
            files_.clear();
            bytes_ = 0;
        }
        bytes_ += source.text.size();
        it = files_.emplace(file, std::move(source)).first;
    }
    const Source& source = it->second;
    if (!source.readable || line == 0 || line > source.starts.size()) return std::nullopt;
    const std::string_view text = source.text;
    const std::size_t begin = source.starts[line - 1];
    std::size_t end = line < source.starts.size() ? source.starts[line] - 1 : text.size();
    bool newline = end < text.size();
    if (!newline && end > begin && text[end - 1] == '\n') {
        --end;
        newline = true;
    }
    // As the merge splits lines: a "\r" counts as part of the line ending only before "\n".
    if (newline && end > begin && text[end - 1] == '\r') --end;
    return text.substr(begin, end - begin);
}

std::string place(const Location& where) {
    std::string out = file_name(where.file);
    if (where.line != 0) {
        out += ':';
        out += std::to_string(where.line);
        if (where.column != 0) {
            out += ':';
            out += std::to_string(where.column);
        }
    }
    return out;
}

std::vector<std::string> chain_notes(const Location& where) {
    std::vector<std::string> notes;
    for (auto step = where.chain.rbegin(); step != where.chain.rend(); ++step) {
        const std::string at = file_name(step->file) + ":" + std::to_string(step->line);
        notes.push_back(step->kind == IncludeKind::Derive ? "read by @derive at " + at
                                                          : "imported from " + at);
    }
    return notes;
}

std::optional<std::string> path_note(const analysis::Diagnostic& d, const std::string& cwd) {
    if (d.path.empty()) return std::nullopt;
    if (is_relative(d.path))
        return "'" + d.path + "' was looked up relative to the working directory " + cwd;
    if (d.where.line != 0) return "could not read '" + d.path + "'";
    return std::nullopt;
}

namespace {

// The gutter before a source line: its number, right-aligned.
std::size_t gutter_width(std::size_t line) {
    return std::max<std::size_t>(5, std::to_string(line).size());
}

void source_rows(std::string& out, const Painter& paint, std::size_t line_number, std::size_t width,
                 const Excerpt& ex, char marker) {
    std::string number = std::to_string(line_number);
    number.insert(0, width - number.size(), ' ');
    paint(out, kBlue, number + " |");
    out += ' ';
    out += ex.line;
    out += '\n';
    paint(out, kBlue, std::string(width, ' ') + " |");
    out += ' ';
    std::string markers = ex.carets;
    std::replace(markers.begin(), markers.end(), '^', marker);
    paint(out, kGreen, markers);
    out += '\n';
}

// The line a hint would make: its source line with the replacement written in, and
// markers under what was written. None when the line cannot be read now.
std::optional<std::pair<std::string, Excerpt>> suggestion(const analysis::Hint& hint,
                                                          SourceCache& sources) {
    const Location& at = hint.where;
    if (!at.file || at.line == 0 || at.end_line != at.line || at.column == 0) return std::nullopt;
    const auto line = sources.line(*at.file, at.line);
    if (!line) return std::nullopt;
    // Columns count scalar values: find the bytes they start at.
    const auto offset = [&](std::size_t column) {
        std::size_t seen = 0;
        for (std::size_t i = 0; i < line->size(); ++i) {
            if ((static_cast<unsigned char>((*line)[i]) & 0xC0) == 0x80) continue;
            if (++seen == column) return i;
        }
        return line->size();
    };
    const std::size_t begin = offset(at.column);
    const std::size_t end = offset(at.end_column);
    if (begin > end || end > line->size()) return std::nullopt;
    std::string patched(line->substr(0, begin));
    patched += hint.replacement;
    patched += line->substr(end);
    const std::size_t last = at.column + column_at(hint.replacement, hint.replacement.size()) - 1;
    Excerpt ex = excerpt(patched, at.column, last, false);
    return std::make_pair(std::move(patched), std::move(ex));
}

// "help: " and the hint's message; the place first when it is not the diagnostic's line.
std::string help_text(const analysis::Diagnostic& d, const analysis::Hint& hint) {
    const bool elsewhere = hint.where.file != d.where.file || hint.where.line != d.where.line;
    return elsewhere ? place(hint.where) + ": " + hint.message : hint.message;
}

}  // namespace

std::string render_text(const analysis::Diagnostic& d, SourceCache& sources,
                        const TextStyle& style) {
    const Painter paint{style.color};
    std::string out;
    paint(out, kBold, escape_controls(place(d.where)) + ":");
    out += ' ';
    if (d.severity == analysis::Severity::Error) {
        paint(out, kRed, "error:");
    } else {
        paint(out, kMagenta, "warning:");
    }
    out += ' ';
    paint(out, kBold, escape_controls(d.message));
    out += " [";
    out += d.code;
    out += "]\n";

    if (d.where.line != 0 && d.where.file) {
        if (auto line = sources.line(*d.where.file, d.where.line)) {
            const Excerpt ex =
                excerpt(*line, d.where.column, d.where.end_column, d.where.end_line > d.where.line);
            source_rows(out, paint, d.where.line, gutter_width(d.where.line), ex, '^');
        }
    }
    for (const analysis::Hint& hint : d.hints) {
        out += "  ";
        paint(out, kCyan, "help:");
        out += ' ';
        out += escape_controls(help_text(d, hint));
        out += '\n';
        if (const auto shown = suggestion(hint, sources))
            source_rows(out, paint, hint.where.line, gutter_width(hint.where.line), shown->second,
                        '~');
    }

    const auto note = [&](std::string_view text) {
        out += "  ";
        paint(out, kCyan, "note:");
        out += ' ';
        out += escape_controls(text);
        out += '\n';
    };
    for (const std::string& n : chain_notes(d.where)) note(n);
    for (const analysis::Related& r : d.related) note(place(r.where) + ": " + r.message);
    if (auto n = path_note(d, style.cwd)) note(*n);
    return out;
}

// Workflow commands end a message at a line break and a property at ':' or ','; each is
// written as its percent escape, and so is '%' itself.
std::string github_escape(std::string_view s, bool property) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '%') {
            out += "%25";
        } else if (c == '\r') {
            out += "%0D";
        } else if (c == '\n') {
            out += "%0A";
        } else if (property && c == ':') {
            out += "%3A";
        } else if (property && c == ',') {
            out += "%2C";
        } else {
            out += c;
        }
    }
    return out;
}

std::string github_escape_data(std::string_view s) {
    return github_escape(s, false);
}

std::string github_escape_property(std::string_view s) {
    return github_escape(s, true);
}

std::string render_github(const analysis::Diagnostic& d, std::string_view prefix,
                          const std::string& cwd) {
    std::string out = d.severity == analysis::Severity::Error ? "::error " : "::warning ";
    std::vector<std::string> properties;
    const auto in_repository = [&](const std::string& file) {
        if (prefix.empty() || !is_relative(file)) return file;
        return (std::filesystem::path(prefix) / file).lexically_normal().string();
    };
    if (d.where.file)
        properties.push_back("file=" +
                             github_escape_property(escape_controls(in_repository(*d.where.file))));
    if (d.where.line != 0) {
        properties.push_back("line=" + std::to_string(d.where.line));
        properties.push_back("col=" + std::to_string(d.where.column));
        properties.push_back("endLine=" + std::to_string(d.where.end_line));
        properties.push_back("endColumn=" + std::to_string(d.where.end_column));
    }
    properties.push_back("title=" + github_escape_property(d.code));
    for (std::size_t i = 0; i < properties.size(); ++i) {
        if (i != 0) out += ',';
        out += properties[i];
    }
    // The exact text comes first and alone on its line; what else there is to say follows
    // on lines of its own, as the annotation shows them. Control characters are escaped
    // before, so that the only line breaks are those.
    std::string message = escape_controls(d.message);
    const auto line = [&](std::string_view text) {
        message += '\n';
        message += escape_controls(text);
    };
    for (const analysis::Hint& hint : d.hints) line("help: " + help_text(d, hint));
    for (const std::string& n : chain_notes(d.where)) line(n);
    for (const analysis::Related& r : d.related) line(place(r.where) + ": " + r.message);
    if (auto n = path_note(d, cwd)) line(*n);
    out += "::";
    out += github_escape_data(message);
    out += '\n';
    return out;
}

namespace {

nlohmann::ordered_json optional_number(std::size_t n, bool known) {
    return known ? nlohmann::ordered_json(n) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json optional_text(const std::optional<std::string>& s) {
    return s ? nlohmann::ordered_json(*s) : nlohmann::ordered_json(nullptr);
}

void put_span(nlohmann::ordered_json& j, const Location& where) {
    const bool known = where.line != 0;
    j["file"] = optional_text(where.file);
    j["line"] = optional_number(where.line, known);
    j["column"] = optional_number(where.column, known);
    j["end_line"] = optional_number(where.end_line, known);
    j["end_column"] = optional_number(where.end_column, known);
}

}  // namespace

nlohmann::ordered_json to_json(const analysis::Diagnostic& d) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    put_span(j, d.where);
    j["severity"] = d.severity == analysis::Severity::Error ? "error" : "warning";
    j["code"] = d.code;
    j["message"] = d.message;
    nlohmann::ordered_json chain = nlohmann::ordered_json::array();
    for (const IncludeStep& step : d.where.chain) {
        chain.push_back({{"file", optional_text(step.file)},
                         {"line", step.line},
                         {"kind", step.kind == IncludeKind::Derive ? "derive" : "import"}});
    }
    j["chain"] = std::move(chain);
    nlohmann::ordered_json related = nlohmann::ordered_json::array();
    for (const analysis::Related& r : d.related) {
        nlohmann::ordered_json entry = nlohmann::ordered_json::object();
        put_span(entry, r.where);
        entry["message"] = r.message;
        related.push_back(std::move(entry));
    }
    j["related"] = std::move(related);
    nlohmann::ordered_json hints = nlohmann::ordered_json::array();
    for (const analysis::Hint& hint : d.hints) {
        nlohmann::ordered_json entry = nlohmann::ordered_json::object();
        entry["message"] = hint.message;
        entry["replacement"] = hint.replacement;
        put_span(entry, hint.where);
        hints.push_back(std::move(entry));
    }
    j["hints"] = std::move(hints);
    if (!d.path.empty()) j["path"] = d.path;
    return j;
}

}  // namespace qern::cli
