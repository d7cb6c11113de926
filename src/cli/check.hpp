#pragma once

#include <string>
#include <vector>

#include "analysis/paths.hpp"

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

// What `qern check` and `qern fmt` read for their PATHs (see analysis/paths.hpp).
using analysis::Entry;
using analysis::expand_paths;
using analysis::Expansion;

// The number of cores this process may run on.
unsigned available_cores();

// Whether colour is wanted on the stream with descriptor `fd`.
bool use_color(ColorMode mode, int fd);

// The working directory, for notes on relative paths.
std::string working_directory();

}  // namespace qern::cli
