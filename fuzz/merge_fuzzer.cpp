// Merges arbitrary text into a document. @import and @derive reach a small fixed set of
// files in a scratch directory (which import and derive each other, to exercise cycles).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "commands/builtins.hpp"

namespace {

void write(const std::filesystem::path& dir, const char* name, const char* text) {
    std::ofstream(dir / name, std::ios::binary) << text;
}

const bool ready = [] {
    char pattern[] = "/tmp/qern-fuzz-XXXXXX";
    const std::filesystem::path dir = mkdtemp(pattern);
    write(dir, "a.qrn", "@schema P { x: f64, y*: i32 }\nx = 1\n@type t = i32\n");
    write(dir, "b.qrn", "@import a.qrn\nname = b\nlist = [1, 2]\n");
    write(dir, "c.qrn", "@derive b.qrn::P\n@import c.qrn\n");
    write(dir, "bad.qrn", "oops\n");
    std::filesystem::create_directory(dir / "dir.qrn");
    std::filesystem::current_path(dir);
    return true;
}();

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    qern::QernDocument doc = qern::new_document();
    auto merged = doc.merge_content(text);
    if (!merged) (void)merged.error().display();
    // Whatever was stored stays readable and consistent.
    for (std::string_view key : doc.keys()) {
        if (!doc.find_obj(key)) std::abort();
        (void)doc.find_deep(key);
        (void)doc.find_list(key);
        (void)doc.find_object(key);
    }
    return 0;
}
