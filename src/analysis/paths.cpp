#include "analysis/paths.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "qern/file.hpp"

namespace qern::analysis {

namespace {

namespace fs = std::filesystem;

bool ends_with_qrn(std::string_view name) {
    return name.size() > 4 && name.ends_with(".qrn");
}

std::string child_path(const std::string& dir, const std::string& name) {
    if (dir == "." || dir == "./") return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Appends the *.qrn files below `dir` in sorted order (names compared byte by byte, a
// directory's files where its name sorts); returns how many it found.
std::size_t walk(const std::string& dir, const std::string& directory, std::vector<Entry>& out) {
    std::error_code ec;
    fs::directory_iterator it(resolve_path(dir, directory), ec);
    if (ec) {
        out.push_back({dir, os_error_text(ec.value())});
        return 0;
    }
    struct Child {
        std::string name;
        bool directory;
    };
    std::vector<Child> children;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::error_code type_ec;
        const fs::file_status own = it->symlink_status(type_ec);
        if (fs::is_directory(own)) {
            children.push_back({std::move(name), true});
        } else if (ends_with_qrn(name)) {
            // A link to a directory named *.qrn is skipped like other links to directories;
            // a broken link is kept, so that the check reports it.
            if (fs::is_symlink(own) && fs::is_directory(it->status(type_ec))) continue;
            children.push_back({std::move(name), false});
        }
    }
    if (ec) {
        out.push_back({dir, os_error_text(ec.value())});
        return 0;
    }
    std::sort(children.begin(), children.end(),
              [](const Child& a, const Child& b) { return a.name < b.name; });
    std::size_t found = 0;
    for (const Child& child : children) {
        const std::string path = child_path(dir, child.name);
        if (child.directory) {
            found += walk(path, directory, out);
        } else {
            out.push_back({path, {}});
            ++found;
        }
    }
    return found;
}

}  // namespace

Expansion expand_paths(const std::vector<std::string>& paths, const std::string& directory) {
    Expansion expansion;
    for (const std::string& path : paths) {
        struct stat st;
        if (!path.empty() && path.find('\0') == std::string::npos &&
            ::stat(resolve_path(path, directory).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            const std::size_t before = expansion.entries.size();
            if (walk(path, directory, expansion.entries) == 0 && expansion.entries.size() == before)
                expansion.empty.push_back(path);
        } else {
            // Whatever is wrong with it (missing, unreadable, no regular file) the check
            // reports, as the library would.
            expansion.entries.push_back({path, {}});
        }
    }
    return expansion;
}

std::vector<Diagnostic> check_entry(const Entry& entry, const Options& options,
                                    const std::string& directory) {
    if (entry.listing_error.empty())
        return analyze_file(entry.path, options, directory).diagnostics;
    Diagnostic d;
    d.code = "io";
    d.message = "IO Error: " + entry.listing_error;
    d.where.file = entry.path;
    d.path = entry.path;
    std::vector<Diagnostic> out;
    out.push_back(std::move(d));
    return out;
}

}  // namespace qern::analysis
