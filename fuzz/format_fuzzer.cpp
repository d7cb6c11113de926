// The formatter on arbitrary text: it never produces a text that reads differently (that
// would be refused as unsafe), and a second run changes nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "analysis/format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    using qern::analysis::Formatted;
    const Formatted once = qern::analysis::format_text(text);
    if (once.status == Formatted::Status::Unsafe) {
        std::fprintf(stderr, "the formatted text reads differently:\n%s\n",
                     once.difference.c_str());
        std::abort();
    }
    if (once.status == Formatted::Status::Refused) {
        if (once.errors.empty()) std::abort();
        return 0;
    }
    if (auto d =
            qern::analysis::first_difference(qern::SyntaxTree(text), qern::SyntaxTree(once.text))) {
        std::fprintf(stderr, "%s\n", d->c_str());
        std::abort();
    }
    const Formatted twice = qern::analysis::format_text(once.text);
    if (twice.status != Formatted::Status::Done || twice.text != once.text) {
        std::fprintf(stderr, "not idempotent\n");
        std::abort();
    }
    return 0;
}
