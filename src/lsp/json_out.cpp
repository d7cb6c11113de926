#include "lsp/json_out.hpp"

#include <charconv>
#include <nlohmann/json.hpp>

namespace qern::lsp {

JsonOut& JsonOut::raw(std::string_view text) {
    size_ += text.size();
    if (out_ == nullptr) {
        if (size_ <= keep_) {
            buffer_.append(text);
        } else if (!buffer_.empty()) {
            std::string().swap(buffer_);  // too large to keep: counted only
        }
        return *this;
    }
    if (buffer_.size() + text.size() > kBuffer) flush();
    if (text.size() >= kBuffer)
        out_->write(text.data(), static_cast<std::streamsize>(text.size()));
    else
        buffer_.append(text);
    return *this;
}

JsonOut& JsonOut::string(std::string_view text) {
    // Printable ASCII other than '"' and '\' stands as it is; anything else is escaped by
    // the JSON library, which also replaces bytes that are no UTF-8.
    bool plain = true;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) return raw("\"").raw(text).raw("\"");
    return raw(nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

JsonOut& JsonOut::number(std::size_t n) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    return raw(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

JsonOut& JsonOut::range(const Range& r) {
    raw("{\"start\":{\"line\":").number(r.start.line).raw(",\"character\":");
    number(r.start.character).raw("},\"end\":{\"line\":").number(r.end.line);
    return raw(",\"character\":").number(r.end.character).raw("}}");
}

void JsonOut::flush() {
    if (out_ == nullptr || buffer_.empty()) return;
    out_->write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    buffer_.clear();
}

}  // namespace qern::lsp
