#pragma once

#include <string>
#include <vector>

#include "analysis/analysis.hpp"

namespace qern::analysis {

// What a check reads for its paths, in the order it reports them: files as given,
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
// Relative paths are taken against `directory` (empty: the working directory); the
// entries keep them relative, as given.
Expansion expand_paths(const std::vector<std::string>& paths, const std::string& directory = {});

// The diagnostics of one entry: its listing error, or what checking the file finds.
std::vector<Diagnostic> check_entry(const Entry& entry, const Options& options,
                                    const std::string& directory = {});

}  // namespace qern::analysis
