// The language server from its input: framing, JSON-RPC dispatch, documents and their
// changes, requests, the worker's checks. Bytes in, the server's answers out. Beyond "no
// crash", two properties: every frame the server writes is well formed, and after
// whatever the bytes were, a valid request that follows them is still answered (unless
// the bytes said `exit`).
//
// Documents under file:///tmp/qern-lsp-fuzz/ reach a few files there, which import and
// derive each other.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "lsp/session.hpp"

namespace {

using nlohmann::json;

constexpr std::string_view kProbe =
    R"({"jsonrpc":"2.0","id":"qern-fuzz-probe","method":"shutdown"})";

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "lsp_fuzzer: %s\n", what);
    std::abort();
}

const bool ready = [] {
    const std::filesystem::path dir = "/tmp/qern-lsp-fuzz";
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "a.qrn", std::ios::binary)
        << "@schema P { x: f64, y*: i32 }\nx = 1\n@type t = i32\n";
    std::ofstream(dir / "b.qrn", std::ios::binary) << "\xEF\xBB\xBF@import a.qrn\nname = b\n";
    std::ofstream(dir / "c.qrn", std::ios::binary) << "@derive b.qrn::P\n@import c.qrn\noops\n";
    return true;
}();

// The messages in the server's output; anything but well-formed frames of JSON aborts.
bool probe_answered(std::string_view out) {
    constexpr std::string_view kHeader = "Content-Length: ";
    bool answered = false;
    while (!out.empty()) {
        if (out.substr(0, kHeader.size()) != kHeader) fail("a frame without its header");
        out.remove_prefix(kHeader.size());
        const std::size_t end = out.find("\r\n\r\n");
        if (end == std::string_view::npos) fail("a header without its end");
        const std::size_t length = std::stoul(std::string(out.substr(0, end)));
        out.remove_prefix(end + 4);
        if (length > out.size()) fail("a body shorter than its header says");
        const json message = json::parse(out.substr(0, length), nullptr, false);
        if (!message.is_object()) fail("a message that is no JSON object");
        out.remove_prefix(length);
        answered |= !message.contains("method") && message.value("id", json()) == "qern-fuzz-probe";
    }
    return answered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    input += "Content-Length: " + std::to_string(kProbe.size()) + "\r\n\r\n";
    input += kProbe;
    std::istringstream in(input);
    std::ostringstream out;
    qern::lsp::Session session(in, out, /*finish_at_end=*/true);
    session.run();
    if (!probe_answered(out.str()) && !session.exited())
        fail("the request after the input was not answered");
    return 0;
}
