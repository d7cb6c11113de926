#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <string_view>

#include "commands/builtins.hpp"
#include "qern/document.hpp"

namespace qern::testing {

// The document's pairs as an ordered map, for comparisons that ignore hash order.
inline std::map<std::string, std::string> pairs_of(const QernDocument& doc) {
    std::map<std::string, std::string> out;
    doc.data().for_each([&](const DataMap::Entry& e) { out.emplace(e.key, e.value); });
    return out;
}

inline QernDocument parsed(std::string_view text) {
    auto doc = parse_document(text);
    EXPECT_TRUE(doc.ok()) << text << "\n -> " << (doc.ok() ? "" : doc.error().display());
    return doc.ok() ? std::move(doc).value() : new_document();
}

inline void expect_parses(std::string_view text, const std::map<std::string, std::string>& pairs) {
    auto doc = parse_document(text);
    ASSERT_TRUE(doc.ok()) << text << "\n -> " << doc.error().display();
    EXPECT_EQ(pairs_of(*doc), pairs) << text;
}

inline void expect_error(std::string_view text, std::string_view message) {
    auto doc = parse_document(text);
    ASSERT_FALSE(doc.ok()) << text;
    EXPECT_EQ(doc.error().display(), message) << text;
}

inline std::string error_of(const Result<void>& r) {
    return r.ok() ? "" : r.error().display();
}

// A scratch directory that is the working directory for the test's lifetime, so that
// relative paths in @import and @derive resolve inside it.
class TempDir {
  public:
    TempDir() : saved_(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "qern-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        std::filesystem::current_path(path_);
    }
    ~TempDir() {
        std::filesystem::current_path(saved_);
        std::filesystem::remove_all(path_);
    }
    void write(const std::string& name, std::string_view text) const {
        std::ofstream(path_ / name, std::ios::binary) << text;
    }
    std::filesystem::path path() const { return path_; }

  private:
    std::filesystem::path saved_;
    std::filesystem::path path_;
};

}  // namespace qern::testing
