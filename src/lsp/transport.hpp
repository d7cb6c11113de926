#pragma once

#include <chrono>
#include <cstddef>
#include <istream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "lsp/json_out.hpp"

namespace qern::lsp {

using nlohmann::json;

// One framed message read from the client: its JSON, a frame that could not be used, or
// the end of the input.
struct Incoming {
    enum class Kind { Message, Malformed, End };
    Kind kind = Kind::End;
    json message;
    std::string problem;  // for Malformed: the text of the error response
    // When its first byte was read: a change is debounced from there, so that reading
    // and parsing a large message counts towards the wait.
    std::chrono::steady_clock::time_point arrived;
};

// Reads `Content-Length` framed messages. Header lines and bodies are bounded, so a
// hostile or broken client cannot make the server hold more than one body in memory.
// After a frame that cannot be used, reading resumes where the next `Content-Length`
// header starts, so that one bad frame costs one error and nothing after it.
class MessageReader {
  public:
    static constexpr std::size_t kMaxHeaderLine = 8 * 1024;
    static constexpr std::size_t kMaxHeaderLines = 64;
    static constexpr std::size_t kMaxBody = std::size_t{256} << 20;

    explicit MessageReader(std::istream& in) : in_(in) {}
    Incoming next();

  private:
    Incoming read_frame();
    Incoming read_body(std::size_t begin, std::size_t length);
    Incoming bad_frame(std::string problem);
    // Appends what the input has (waiting for at least one byte); false at its end.
    // `expect` is the size the buffer should reach, when it is known.
    bool fill(std::size_t expect = 0);
    // Drops the bytes before frame_; gives a large buffer back when it is empty.
    void compact();
    // Moves at_ to the next place where a Content-Length header starts; false at the end.
    bool find_frame();

    std::istream& in_;
    std::string buffer_;     // read from the input, from frame_ on not yet used
    std::size_t at_ = 0;     // the next byte to read
    std::size_t frame_ = 0;  // where the frame being read starts
    bool resync_ = false;    // the last frame was bad: look for the next header first
    bool ended_ = false;
    std::chrono::steady_clock::time_point arrived_;
};

// JSON allows a `\u` escape of a lone UTF-16 surrogate, which editors send mid-edit and
// nlohmann-json refuses. Each one in `[begin, end)` is found by where its four hex digits
// start, for the reader to write U+FFFD there, as an escape of the same length. Escaped
// backslashes and surrogate pairs are passed over.
std::vector<char*> find_lone_surrogates(char* begin, char* end);

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
    // A response to request `id` whose result `write` writes (see JsonOut).
    bool send_result_held(const json& id, const ResultWriter& write);

  private:
    std::ostream& out_;
    std::mutex mutex_;
};

}  // namespace qern::lsp
