#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qern::cli {

struct FmtOptions {
    bool check = false;              // list the files that would change, change nothing
    bool diff = false;               // print what would change as a unified diff, change nothing
    std::vector<std::string> paths;  // files, directories (their *.qrn files) and "-"
};

// `qern fmt`: the exit status: 0 done, 1 a file does not parse or cannot be read (or, with
// --check, would change), 2 wrong usage, 3 the formatter would have changed what a file
// declares (it is left as it was).
int run_fmt(const FmtOptions& options);

// A unified diff from `before` to `after` (texts of the file `path`) with three lines of
// context, as `patch -p0` and `git apply -p0` read it; empty when they are equal.
std::string unified_diff(std::string_view before, std::string_view after, std::string_view path);

}  // namespace qern::cli
