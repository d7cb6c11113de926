#include "lsp/transport.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>

#include "qern/text.hpp"

namespace qern::lsp {

namespace {

using Clock = std::chrono::steady_clock;

// What one read takes from the input at most; a buffer emptied past this size is given
// back.
constexpr std::size_t kChunk = std::size_t{1} << 20;

bool equal_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (ascii_lower(text[i]) != lower[i]) return false;
    return true;
}

bool header_named(std::string_view line, std::string_view name, std::string_view& value) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon != name.size()) return false;
    if (!equal_ignoring_case(line.substr(0, colon), name)) return false;
    value = trim(line.substr(colon + 1));
    return true;
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

bool digit(char c) {
    return c >= '0' && c <= '9';
}

// A character of a header's name (a token, as HTTP has it).
bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || digit(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Where "Content-Length:", in any letter case, first starts in `text` at `from` or later;
// found by its '-', which is rarer than its letters.
std::size_t find_length_header(std::string_view text, std::size_t from) {
    constexpr std::string_view kName = "content-length:";
    constexpr std::size_t kDash = 7;
    for (std::size_t i = from + kDash; i < text.size();) {
        const void* hit = std::memchr(text.data() + i, '-', text.size() - i);
        if (hit == nullptr) break;
        const auto dash = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        const std::size_t start = dash - kDash;
        if (start + kName.size() <= text.size() &&
            equal_ignoring_case(text.substr(start, kName.size()), kName))
            return start;
        i = dash + 1;
    }
    return std::string_view::npos;
}

// Where a `Content-Length: <digits>` header line starts, when the line that `text[nl]`
// ends is one and starts at `begin` or later.
std::optional<std::size_t> length_header_ending_at(std::string_view text, std::size_t begin,
                                                   std::size_t nl) {
    constexpr std::string_view kName = "content-length";
    std::size_t i = nl;
    if (i > begin && text[i - 1] == '\r') --i;
    while (i > begin && blank(text[i - 1])) --i;
    const std::size_t digits_end = i;
    while (i > begin && digit(text[i - 1])) --i;
    if (i == digits_end) return std::nullopt;
    while (i > begin && blank(text[i - 1])) --i;
    if (i == begin || text[i - 1] != ':') return std::nullopt;
    --i;
    if (i < begin + kName.size()) return std::nullopt;
    i -= kName.size();
    if (!equal_ignoring_case(text.substr(i, kName.size()), kName)) return std::nullopt;
    return i;
}

Incoming malformed(std::string text) {
    Incoming incoming;
    incoming.kind = Incoming::Kind::Malformed;
    incoming.problem = std::move(text);
    return incoming;
}

std::string unreadable(std::string_view problem) {
    return concat("unreadable message: ", problem);
}

int hex4(const char* p, const char* end) {
    if (end - p < 4) return -1;
    int value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = p[i];
        const int digit_value = c >= '0' && c <= '9'   ? c - '0'
                                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                       : -1;
        if (digit_value < 0) return -1;
        value = value * 16 + digit_value;
    }
    return value;
}

}  // namespace

std::vector<char*> find_lone_surrogates(char* begin, char* end) {
    std::vector<char*> found;
    char* p = begin;
    for (;;) {
        p = static_cast<char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
        if (p == nullptr || end - p < 2) return found;
        if (p[1] != 'u') {
            p += 2;  // any other escape, `\\` included
            continue;
        }
        const int unit = hex4(p + 2, end);
        if (unit < 0xD800 || unit > 0xDFFF) {
            p += 2;
            continue;
        }
        if (unit <= 0xDBFF && end - p >= 12 && p[6] == '\\' && p[7] == 'u') {
            const int low = hex4(p + 8, end);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                p += 12;
                continue;
            }
        }
        found.push_back(p + 2);
        p += 6;
    }
}

Incoming MessageReader::next() {
    frame_ = at_;
    compact();
    arrived_ = at_ < buffer_.size() ? Clock::now() : Clock::time_point{};
    if (resync_) {
        if (!find_frame()) return Incoming{};
        resync_ = false;
    }
    Incoming incoming = read_frame();
    incoming.arrived = arrived_ == Clock::time_point{} ? Clock::now() : arrived_;
    return incoming;
}

bool MessageReader::fill(std::size_t expect) {
    if (ended_) return false;
    std::streambuf* in = in_.rdbuf();
    // Waits for one byte; then takes whatever else has already arrived.
    if (in == nullptr || in->sgetc() == std::char_traits<char>::eof()) {
        ended_ = true;
        return false;
    }
    if (arrived_ == Clock::time_point{}) arrived_ = Clock::now();
    const std::streamsize available = in->in_avail();
    const std::size_t want =
        available > 0 ? std::min(static_cast<std::size_t>(available), kChunk) : 1;
    const std::size_t size = buffer_.size();
    if (size + want > buffer_.capacity()) {
        // Doubling while the bytes come, but not past the end of a frame whose size is
        // known: a false length costs nothing until its bytes really arrive.
        std::size_t grow = std::max(size + want, 2 * buffer_.capacity());
        if (expect >= size + want) grow = std::min(grow, expect);
        buffer_.reserve(grow);
    }
    buffer_.resize(size + want);
    const std::streamsize got =
        in->sgetn(buffer_.data() + size, static_cast<std::streamsize>(want));
    buffer_.resize(size + static_cast<std::size_t>(std::max<std::streamsize>(got, 0)));
    if (got <= 0) {
        ended_ = true;
        return false;
    }
    return true;
}

void MessageReader::compact() {
    const std::size_t drop = frame_;
    if (drop == buffer_.size()) {
        buffer_.clear();
        if (buffer_.capacity() > kChunk) std::string().swap(buffer_);
    } else if (drop > 0 && drop >= buffer_.size() - drop) {
        // Only when what moves is no more than what goes, so that reading many frames
        // from one buffer stays linear.
        buffer_.erase(0, drop);
    } else {
        return;
    }
    at_ -= drop;
    frame_ = 0;
}

bool MessageReader::find_frame() {
    // Less than the name's length from the end, a name may still be cut off.
    constexpr std::size_t kKeep = std::string_view("content-length:").size() - 1;
    for (;;) {
        const std::size_t found = find_length_header(buffer_, at_);
        if (found != std::string_view::npos) {
            at_ = frame_ = found;
            return true;
        }
        at_ = frame_ = std::max(at_, buffer_.size() - std::min(buffer_.size(), kKeep));
        compact();
        if (!fill()) return false;
    }
}

Incoming MessageReader::bad_frame(std::string text) {
    // Whatever followed the frame's first byte may hold the next frame.
    at_ = frame_ + 1;
    resync_ = true;
    return malformed(std::move(text));
}

Incoming MessageReader::read_frame() {
    std::size_t lines = 0;
    std::size_t length = 0;
    bool have_length = false;
    std::size_t line = at_;     // where the current line starts
    std::size_t scanned = at_;  // searched for its end up to here
    for (;;) {
        const void* hit = nullptr;
        while ((hit = std::memchr(buffer_.data() + scanned, '\n', buffer_.size() - scanned)) ==
               nullptr) {
            scanned = buffer_.size();
            if (scanned - line > kMaxHeaderLine)
                return bad_frame(unreadable("a header line is longer than 8 KiB"));
            if (!fill()) return Incoming{};
        }
        const auto nl = static_cast<std::size_t>(static_cast<const char*>(hit) - buffer_.data());
        std::string_view text(buffer_.data() + line, nl - line);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (text.size() > kMaxHeaderLine)
            return bad_frame(unreadable("a header line is longer than 8 KiB"));
        line = scanned = nl + 1;
        if (text.empty()) {
            if (lines == 0) {  // blank lines between frames are harmless
                frame_ = line;
                continue;
            }
            break;
        }
        if (++lines > kMaxHeaderLines) return bad_frame(unreadable("more than 64 header lines"));
        const std::size_t colon = text.find(':');
        if (colon == 0 || colon == std::string_view::npos ||
            !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon),
                         name_char))
            return bad_frame(unreadable("a header line is not of the form 'Name: value'"));
        // A header glued to the end of a broken frame: the next frame starts there.
        if (find_length_header(text, 1) != std::string_view::npos)
            return bad_frame(unreadable("a header line holds another Content-Length header"));
        std::string_view value;
        if (header_named(text, "content-length", value)) {
            // Digits only: no sign, no blank inside. Too many of them is too large, which
            // is refused before a byte of the body is read.
            const bool number = !value.empty() && std::all_of(value.begin(), value.end(), digit);
            if (!number) return bad_frame(unreadable("the Content-Length header is not a number"));
            std::uint64_t n = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
            if (ec != std::errc() || n > kMaxBody)
                return bad_frame(unreadable("the message is larger than 256 MiB"));
            // As a frame cut off before its blank line and the next frame's header make.
            if (have_length && n != length)
                return bad_frame(unreadable("two Content-Length headers disagree"));
            have_length = true;
            length = static_cast<std::size_t>(n);
        }
        // Content-Type and any other header are accepted and ignored.
    }
    if (!have_length) return bad_frame(unreadable("no Content-Length header"));
    return read_body(line, length);
}

Incoming MessageReader::read_body(std::size_t begin, std::size_t length) {
    const std::size_t end = begin + length;
    std::size_t checked = begin;
    for (;;) {
        // A JSON body cannot hold a header line: a header's name is no JSON token, and a
        // string cannot hold a raw line break. So one means that the body was shorter
        // than announced and the next frame has begun; it is read without waiting for
        // bytes that will not come.
        const std::size_t upto = std::min(buffer_.size(), end);
        const std::string_view text(buffer_);
        for (std::size_t i = checked; i < upto;) {
            const void* hit = std::memchr(text.data() + i, '\n', upto - i);
            if (hit == nullptr) break;
            const auto nl = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
            if (const auto next = length_header_ending_at(text, begin, nl)) {
                at_ = frame_ = *next;
                return malformed(
                    unreadable("the body is shorter than its Content-Length header says"));
            }
            i = nl + 1;
        }
        checked = upto;
        if (upto == end) break;
        if (!fill(end)) return Incoming{};
    }
    char* body = buffer_.data() + begin;
    // nlohmann-json takes a NUL byte for the end of its input, so a value followed by one
    // would pass; JSON has no place for a raw NUL.
    if (std::memchr(body, '\0', length) != nullptr)
        return bad_frame("the message is not valid JSON");
    // The replaced digits are kept: a body that is no JSON after all is put back as it
    // came, since its bytes may hold the next frame's header.
    const std::vector<char*> replaced = find_lone_surrogates(body, body + length);
    std::string digits;
    digits.reserve(4 * replaced.size());
    for (char* at : replaced) {
        digits.append(at, 4);
        std::memcpy(at, "fffd", 4);
    }
    json message = json::parse(body, body + length, nullptr, false);
    if (message.is_discarded()) {
        for (std::size_t i = 0; i < replaced.size(); ++i)
            std::memcpy(replaced[i], digits.data() + 4 * i, 4);
        return bad_frame("the message is not valid JSON");
    }
    at_ = end;
    Incoming incoming;
    incoming.kind = Incoming::Kind::Message;
    incoming.message = std::move(message);
    return incoming;
}

bool MessageWriter::send(const json& message) {
    auto lock = hold();
    return send_held(message);
}

bool MessageWriter::send_held(const json& message) {
    // Text from files is valid UTF-8, but a replacement character is better than a
    // message that cannot be sent.
    const std::string body = message.dump(-1, ' ', false, json::error_handler_t::replace);
    out_ << "Content-Length: " << body.size() << "\r\n\r\n" << body;
    out_.flush();
    return static_cast<bool>(out_);
}

bool MessageWriter::send_result_held(const json& id, const ResultWriter& write) {
    // Kept whole up to this size; a larger result is written twice rather than held.
    constexpr std::size_t kKeep = std::size_t{4} << 20;
    const std::string head =
        "{\"jsonrpc\":\"2.0\",\"id\":" + id.dump(-1, ' ', false, json::error_handler_t::replace) +
        ",\"result\":";
    JsonOut counted(kKeep);
    write(counted);
    out_ << "Content-Length: " << head.size() + counted.size() + 1 << "\r\n\r\n" << head;
    if (const std::string* whole = counted.kept()) {
        out_ << *whole;
    } else {
        JsonOut body(out_);
        write(body);
    }
    out_ << '}';
    out_.flush();
    return static_cast<bool>(out_);
}

}  // namespace qern::lsp
