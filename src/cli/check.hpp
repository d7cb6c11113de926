#pragma once

#include <string>
#include <vector>

namespace qern::cli {

enum class Format { Text, Json, Github };
enum class ColorMode { Auto, Always, Never };

struct CheckOptions {
    Format format = Format::Text;
    bool strict = false;
    unsigned jobs = 0;      // 0: one per available core
    std::string directory;  // -C: where qern was told to run, as given
    ColorMode color = ColorMode::Auto;
    std::vector<std::string> paths;
};

// `qern check`: the exit status (0 no problems, 1 problems found, 2 wrong usage). Runs in
// the current working directory (the caller has changed to -C's already).
int run_check(const CheckOptions& options);

// What `qern check` reads for its PATHs, in the order it reports them: files as given,
// directories replaced by the *.qrn files below them in sorted order (symbolic links to
// directories are not followed, so a link cannot make the walk loop). A directory that
// could not be listed is an entry with the reason.
struct Entry {
    std::string path;
    std::string listing_error;  // "Permission denied (os error 13)", ...
};
struct Expansion {
    std::vector<Entry> entries;
    std::vector<std::string> empty;  // directories given that hold no *.qrn file
};
Expansion expand_paths(const std::vector<std::string>& paths);

// The number of cores this process may run on.
unsigned available_cores();

// Whether colour is wanted on the stream with descriptor `fd`.
bool use_color(ColorMode mode, int fd);

// The working directory, for notes on relative paths.
std::string working_directory();

}  // namespace qern::cli
