#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qern/error.hpp"

namespace qern {

// Identity of a file on disk, so that two spellings of one path are recognised.
struct FileId {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const FileId&) const = default;
};

// A regular file opened for reading. Anything else (a directory, a FIFO, a device) is
// refused when opened, so that a read can never block or run forever.
class OpenFile {
  public:
    // A relative `path` is taken against `directory` when one is given, else against the
    // working directory; errors name `path` as it was given.
    static Result<OpenFile> open(std::string_view path, std::string_view directory = {});
    OpenFile(OpenFile&& other) noexcept;
    OpenFile& operator=(OpenFile&&) = delete;
    ~OpenFile();

    FileId id() const { return id_; }
    std::uint64_t size() const { return size_; }
    // The whole file as UTF-8 text; invalid UTF-8 is an Io error. Io errors name the path.
    Result<std::string> read_text();

  private:
    OpenFile(int fd, FileId id, std::uint64_t size, std::string_view path)
        : fd_(fd), id_(id), size_(size), path_(path) {}
    int fd_;
    FileId id_;
    std::uint64_t size_;
    std::string path_;
};

// `path` as it is opened when relative paths are taken against `directory` (none: the
// working directory).
std::string resolve_path(std::string_view path, std::string_view directory);

// The platform's description of an OS error code, e.g.
// "No such file or directory (os error 2)".
std::string os_error_text(int code);

}  // namespace qern
