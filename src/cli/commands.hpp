#pragma once

#include <optional>
#include <string>

namespace qern::cli {

// The commands that read a file as the library does (the first failing line ends the
// read). Each returns the exit status: 0 done, 1 not found, invalid or the file failed.
int run_get(const std::string& path, const std::string& key);
int run_keys(const std::string& path);
int run_export(const std::string& path, bool sort_keys);
// The document as nested JSON of typed values (see export_typed in commands.cpp).
int run_export_typed(const std::string& path, bool sort_keys);
int run_validate(const std::string& type_name, const std::string& value,
                 const std::optional<std::string>& with);

}  // namespace qern::cli
