// The syntax tree against the merge on arbitrary text: the tree must say what a recovering
// merge stores and reports, and each of its parts must slice out of the text what it says.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "differential.hpp"

namespace {

// An empty directory to work in: the files the texts name do not exist there.
const bool ready = [] {
    char pattern[] = "/tmp/qern-syntax-fuzz-XXXXXX";
    std::filesystem::current_path(mkdtemp(pattern));
    return true;
}();

// Whether the text names a file that exists (an absolute path, say): the merge then reads
// it, and only the parts can be compared.
bool names_a_file(const qern::SyntaxTree& tree) {
    bool found = false;
    tree.for_each([&](const qern::SyntaxTree::Entry& e) {
        if (e.kind != qern::StatementKind::Import && e.kind != qern::StatementKind::Derive) return;
        const std::string path(tree.statement(e).path.text);
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) found = true;
    });
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const qern::SyntaxTree tree(text);
    std::optional<std::string> problem = names_a_file(tree)
                                             ? qern::testing::parts_disagreement(tree)
                                             : qern::testing::merge_disagreement(text);
    if (problem) {
        std::fprintf(stderr, "the tree and the merge disagree: %s\n", problem->c_str());
        std::abort();
    }
    return 0;
}
