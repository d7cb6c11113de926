#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core_helpers.hpp"

namespace qern::testing {
namespace {

std::string import_cycle(const char* path) {
    return std::string("Parse Error at line 0: '") + path + "'. Reason: Cycle: '" + path +
           "' is already being read";
}
std::string derive_cycle(const char* path) {
    return std::string("Directive '@derive' error: Cycle: '") + path + "' is already being read";
}

TEST(Limits, ImportAndDeriveCyclesAreRefused) {
    TempDir dir;
    dir.write("self.qrn", "s = 1\n@import self.qrn");
    dir.write("dot.qrn", "@import ./dot.qrn");
    dir.write("a.qrn", "a = 1\n@import b.qrn");
    dir.write("b.qrn", "b = 1\n@import a.qrn");
    dir.write("dself.qrn", "@derive dself.qrn");
    dir.write("ia.qrn", "@import ib.qrn");
    dir.write("ib.qrn", "@derive ia.qrn");
    dir.write("da.qrn", "@derive db.qrn");
    dir.write("db.qrn", "@import 'da.qrn'");
    const std::pair<const char*, std::string> cases[] = {
        {"@import self.qrn", import_cycle("self.qrn")},
        {"@import dot.qrn", import_cycle("./dot.qrn")},  // another spelling of the same file
        {"@import a.qrn", import_cycle("a.qrn")},
        {"@import b.qrn", import_cycle("b.qrn")},
        {"@derive dself.qrn", derive_cycle("dself.qrn")},
        {"@import ia.qrn", derive_cycle("ia.qrn")},
        {"@derive da.qrn",
         "Parse Error at line 0: ''da.qrn''. Reason: Cycle: 'da.qrn' is already being read"},
    };
    for (const auto& [text, message] : cases) expect_prefix(parse_error(text), message);
    // What was merged before the cycle was found stays.
    QernDocument doc = new_document();
    EXPECT_FALSE(doc.merge_content("m = 1\n@import a.qrn\nz = 1").ok());
    EXPECT_EQ(pairs_of(doc),
              (std::map<std::string, std::string>{{"m", "1"}, {"a", "1"}, {"b", "1"}}));
    expect_prefix(load_error("self.qrn"), import_cycle("self.qrn"));
}

TEST(Limits, RepeatedAndDiamondImportsAreNoCycle) {
    TempDir dir;
    dir.write("top.qrn", "@import left.qrn\n@import right.qrn\n@import left.qrn");
    dir.write("left.qrn", "l = 1\n@import leaf.qrn");
    dir.write("right.qrn", "r = 1\n@derive leaf.qrn\n@import leaf.qrn");
    dir.write("leaf.qrn", "leaf = 1");
    expect_parses("@import top.qrn\n@import top.qrn", {{"l", "1"}, {"r", "1"}, {"leaf", "1"}});
}

// f1 imports f2 ... imports f<n>; each file first assigns its own key.
void write_chain(const TempDir& dir, int n, const char* directive) {
    for (int i = 1; i <= n; ++i)
        dir.write(
            "f" + std::to_string(i) + ".qrn",
            "v" + std::to_string(i) + " = 1\n" +
                (i < n ? std::string(directive) + " f" + std::to_string(i + 1) + ".qrn" : ""));
}

TEST(Limits, NestingDeeperThanSixtyFourFilesFails) {
    TempDir dir;
    write_chain(dir, 64, "@import");
    EXPECT_EQ(parsed("@import f1.qrn").data().size(), 64u);
    write_chain(dir, 65, "@import");
    QernDocument doc = new_document();
    expect_prefix(merge_error(doc, "@import f1.qrn"),
                  "Parse Error at line 0: 'f65.qrn'. Reason: Files nested deeper than 64 levels");
    EXPECT_EQ(doc.data().size(), 64u);  // every file above the refused one was merged
    expect_prefix(load_error("f1.qrn"),
                  "Parse Error at line 0: 'f65.qrn'. Reason: Files nested deeper than 64 levels");
    // The failed merge leaves nothing behind that would hinder the next one.
    EXPECT_EQ(merge_error(doc, "@import f60.qrn"), "");
    write_chain(dir, 80, "@derive");
    expect_prefix(parse_error("@derive f1.qrn"),
                  "Directive '@derive' error: Files nested deeper than 64 levels");
}

// Each level imports the next one ten times: 1 + 10 + 100 + ... files in one merge.
void write_fan_out(const TempDir& dir, int levels) {
    for (int i = 0; i < levels; ++i) {
        std::string text = "k" + std::to_string(i) + " = 1\n";
        if (i + 1 < levels)
            for (int j = 0; j < 10; ++j) text += "@import n" + std::to_string(i + 1) + ".qrn\n";
        dir.write("n" + std::to_string(i) + ".qrn", text);
    }
}

TEST(Limits, OneMergeReadsAtMostTenThousandFiles) {
    TempDir dir;
    write_fan_out(dir, 4);  // 1111 files
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(parsed("@import n0.qrn").data().size(), 4u) << "merge " << i;
    QernDocument doc = new_document();
    for (int i = 0; i < 10; ++i) EXPECT_EQ(merge_error(doc, "@import n0.qrn"), "") << "merge " << i;
    write_fan_out(dir, 5);  // 11111 files
    QernDocument partial = new_document();
    const std::string error = merge_error(partial, "@import n0.qrn");
    EXPECT_NE(error.find("One merge may read at most 10000 files"), std::string::npos) << error;
    EXPECT_EQ(partial.data().size(), 5u);  // the first descent reached every level
    QernDocument derived = new_document();
    EXPECT_NE(merge_error(derived, "@derive n0.qrn").find("One merge may read at most 10000 files"),
              std::string::npos);
}

// Should opening the FIFO block, the watchdog opens its write end after five seconds, so
// the test fails instead of hanging.
class FifoWatchdog {
  public:
    explicit FifoWatchdog(std::string path) : path_(std::move(path)), thread_([this] { run(); }) {}
    ~FifoWatchdog() {
        done_ = true;
        thread_.join();
    }

  private:
    void run() {
        for (int i = 0; i < 50 && !done_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (; !done_; std::this_thread::sleep_for(std::chrono::milliseconds(50)))
            if (int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) ::close(fd);
    }
    std::string path_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(Limits, UnreadablePathsGiveIoErrors) {
    TempDir dir;
    std::filesystem::create_directory("adir");
    dir.write("plain.qrn", "x = 1");
    std::filesystem::create_symlink("loop.qrn", "loop.qrn");
    ASSERT_EQ(mkfifo("pipe.qrn", 0600), 0);
    const char* bad_utf8[] = {"a = \xff",     "a = \xc0\xaf",         "a = \xed\xa0\x80",
                              "a = \xe2\x82", "a = \xf4\x90\x80\x80", "a = \x80",
                              "ok = 1\n\xfe"};
    std::vector<std::pair<std::string, std::string>> cases = {
        {"missing.qrn", "No such file or directory (os error 2)"},
        {"adir", "Is a directory (os error 21)"},
        {"plain.qrn/x", "Not a directory (os error 20)"},
        {"loop.qrn", "Too many levels of symbolic links (os error 40)"},
        {"pipe.qrn", "not a regular file"},
        {std::string("a\0b.qrn", 7), "file name contained an unexpected NUL byte"}};
    for (const char* bytes : bad_utf8) {
        cases.emplace_back("bad" + std::to_string(cases.size()) + ".qrn",
                           "stream did not contain valid UTF-8");
        dir.write(cases.back().first, bytes);
    }
    const FifoWatchdog watchdog((dir.path() / "pipe.qrn").string());
    EXPECT_EQ(load_error(""), "IO Error: No such file or directory (os error 2)");
    for (const auto& [path, reason] : cases) {
        const std::string message = "IO Error: " + reason;
        EXPECT_EQ(load_error(path), message) << path;
        QernDocument doc = new_document();
        EXPECT_EQ(error_of(doc.merge_file(path)), message) << path;
        EXPECT_EQ(parse_error("@import " + path), message) << path;
        EXPECT_EQ(parse_error("@derive " + path), message) << path;
    }
    dir.write("good.qrn", "a = \xf4\x8f\xbf\xbf \xe2\x82\xac");
    expect_parses("@import good.qrn", {{"a", "\xf4\x8f\xbf\xbf \xe2\x82\xac"}});
}

}  // namespace
}  // namespace qern::testing
