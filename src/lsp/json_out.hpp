#pragma once

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "lsp/source_text.hpp"

namespace qern::lsp {

// JSON text written piece by piece, for answers too large to build as one value (every
// symbol of a large document). Counted, to learn the body's length for its header, and
// kept while it is small; a large one is then written again, to a stream through a small
// buffer. The writer calls the same function both times, so that the two agree byte for
// byte.
class JsonOut {
  public:
    // Counts, and keeps the text while it is at most `keep` bytes long.
    explicit JsonOut(std::size_t keep) : keep_(keep) {}
    // Writes to `out`.
    explicit JsonOut(std::ostream& out) : out_(&out), keep_(kBuffer) { buffer_.reserve(kBuffer); }
    JsonOut(const JsonOut&) = delete;
    JsonOut& operator=(const JsonOut&) = delete;
    ~JsonOut() { flush(); }

    // JSON text as it is.
    JsonOut& raw(std::string_view text);
    // A string, quoted and escaped.
    JsonOut& string(std::string_view text);
    JsonOut& number(std::size_t n);
    // {"start":{"line":..,"character":..},"end":{..}}
    JsonOut& range(const Range& range);

    std::size_t size() const { return size_; }
    // The whole text, when it was counted and kept.
    const std::string* kept() const {
        return out_ == nullptr && size_ <= keep_ ? &buffer_ : nullptr;
    }
    void flush();

  private:
    static constexpr std::size_t kBuffer = std::size_t{64} << 10;
    std::ostream* out_ = nullptr;
    std::size_t keep_ = 0;
    std::string buffer_;
    std::size_t size_ = 0;
};

// Writes a result's JSON: once, or, for a large one, once to count and once to write.
using ResultWriter = std::function<void(JsonOut&)>;

}  // namespace qern::lsp
