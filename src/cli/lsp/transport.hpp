#pragma once

#include <chrono>
#include <cstddef>
#include <istream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

namespace qern::cli::lsp {

using nlohmann::json;

// One framed message read from the client: its body, a frame that could not be used (its
// bytes are skipped, so the next frame can still be read), or the end of the input.
struct Incoming {
    enum class Kind { Message, Malformed, End };
    Kind kind = Kind::End;
    std::string body;
    std::string problem;  // for Malformed: what was wrong, for the error response
    // When its first byte was read: a change is debounced from there, so that reading
    // and parsing a large message counts towards the wait.
    std::chrono::steady_clock::time_point arrived;
};

// Reads `Content-Length` framed messages. Header lines and bodies are bounded, so a
// hostile or broken client cannot make the server hold more than one body in memory.
class MessageReader {
  public:
    static constexpr std::size_t kMaxHeaderLine = 8 * 1024;
    static constexpr std::size_t kMaxHeaderLines = 64;
    static constexpr std::size_t kMaxBody = std::size_t{256} << 20;

    explicit MessageReader(std::istream& in) : in_(in) {}
    Incoming next();

  private:
    enum class Line { Text, TooLong, End };
    Incoming read_message();
    Line read_line(std::string& line);
    bool skip(std::size_t n);

    std::istream& in_;
    bool started_ = false;
    std::chrono::steady_clock::time_point arrived_;
};

// Writes framed messages; one message at a time whichever thread sends it.
class MessageWriter {
  public:
    explicit MessageWriter(std::ostream& out) : out_(out) {}
    // False once the client is gone (a write failed).
    bool send(const json& message);
    // For a sender that must order its message after some state change: take the lock,
    // release the state, then send_held.
    std::unique_lock<std::mutex> hold() { return std::unique_lock<std::mutex>(mutex_); }
    bool send_held(const json& message);

  private:
    std::ostream& out_;
    std::mutex mutex_;
};

}  // namespace qern::cli::lsp
