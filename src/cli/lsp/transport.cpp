#include "cli/lsp/transport.hpp"

#include <algorithm>
#include <charconv>

#include "qern/text.hpp"

namespace qern::cli::lsp {

namespace {

bool header_named(std::string_view line, std::string_view name, std::string_view& value) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon != name.size()) return false;
    for (std::size_t i = 0; i < colon; ++i)
        if (ascii_lower(line[i]) != name[i]) return false;
    value = trim(line.substr(colon + 1));
    return true;
}

Incoming ended() {
    return Incoming{};
}

Incoming malformed(std::string problem) {
    Incoming incoming;
    incoming.kind = Incoming::Kind::Malformed;
    incoming.problem = std::move(problem);
    return incoming;
}

}  // namespace

MessageReader::Line MessageReader::read_line(std::string& line) {
    line.clear();
    bool too_long = false;
    for (;;) {
        const int c = in_.get();
        if (c == std::char_traits<char>::eof()) return Line::End;
        if (!started_) {
            started_ = true;
            arrived_ = std::chrono::steady_clock::now();
        }
        if (c == '\n') break;
        if (line.size() < kMaxHeaderLine)
            line.push_back(static_cast<char>(c));
        else
            too_long = true;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return too_long ? Line::TooLong : Line::Text;
}

bool MessageReader::skip(std::size_t n) {
    char buffer[64 * 1024];
    while (n > 0) {
        const std::size_t chunk = std::min(n, sizeof buffer);
        in_.read(buffer, static_cast<std::streamsize>(chunk));
        if (static_cast<std::size_t>(in_.gcount()) != chunk) return false;
        n -= chunk;
    }
    return true;
}

Incoming MessageReader::next() {
    started_ = false;
    Incoming incoming = read_message();
    incoming.arrived = arrived_;
    return incoming;
}

Incoming MessageReader::read_message() {
    std::string line;
    std::string problem;
    bool have_length = false;
    std::size_t length = 0;
    std::size_t lines = 0;
    for (;;) {
        const Line got = read_line(line);
        if (got == Line::End) return ended();
        if (got == Line::Text && line.empty()) {
            if (lines == 0) continue;  // blank lines between frames are harmless
            break;
        }
        ++lines;
        if (got == Line::TooLong) {
            problem = "a header line is longer than 8 KiB";
            continue;
        }
        if (lines > kMaxHeaderLines) {
            problem = "more than 64 header lines";
            continue;
        }
        std::string_view value;
        if (header_named(line, "content-length", value)) {
            std::size_t n = 0;
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
            if (ec != std::errc() || end != value.data() + value.size() || value.empty()) {
                problem = "the Content-Length header is not a number";
            } else {
                have_length = true;
                length = n;
            }
        }
        // Content-Type and any other header are accepted and ignored.
    }
    if (!have_length && problem.empty()) problem = "no Content-Length header";
    if (!problem.empty()) {
        // Without a trustworthy length the body cannot be skipped: reading goes on with the
        // next header block, which is how a stray body is passed over.
        if (have_length && length <= kMaxBody && !skip(length)) return ended();
        return malformed(problem);
    }
    if (length > kMaxBody) {
        if (!skip(length)) return ended();
        return malformed("the message is larger than 256 MiB");
    }
    // Read in chunks rather than reserving what the header claims, so a false length costs
    // nothing until the bytes really arrive.
    std::string body;
    while (body.size() < length) {
        const std::size_t chunk = std::min<std::size_t>(length - body.size(), 1 << 20);
        const std::size_t at = body.size();
        body.resize(at + chunk);
        in_.read(body.data() + at, static_cast<std::streamsize>(chunk));
        if (static_cast<std::size_t>(in_.gcount()) != chunk) return ended();
    }
    Incoming incoming;
    incoming.kind = Incoming::Kind::Message;
    incoming.body = std::move(body);
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

}  // namespace qern::cli::lsp
