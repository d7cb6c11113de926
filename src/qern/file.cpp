#include "qern/file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qern/text.hpp"

namespace qern {

std::string os_error_text(int code) {
    char buf[256];
    // The GNU strerror_r returns the message, which may or may not live in buf.
    const char* msg = strerror_r(code, buf, sizeof buf);
    return concat(msg, " (os error ", std::to_string(code), ")");
}

std::string resolve_path(std::string_view path, std::string_view directory) {
    if (directory.empty() || path.empty() || path.front() == '/') return std::string(path);
    if (directory.back() == '/') return concat(directory, path);
    return concat(directory, "/", path);
}

Result<OpenFile> OpenFile::open(std::string_view path, std::string_view directory) {
    if (path.find('\0') != std::string_view::npos || directory.find('\0') != std::string_view::npos)
        return QernError::io("file name contained an unexpected NUL byte", path);
    const std::string c_path = resolve_path(path, directory);
    // O_NONBLOCK: opening a FIFO must not wait for a writer. It has no effect on the
    // reads of a regular file, the only kind accepted below.
    int fd;
    do {
        fd = ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return QernError::io(os_error_text(errno), path);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return QernError::io(os_error_text(err), path);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode)) return QernError::io(os_error_text(EISDIR), path);
        return QernError::io("not a regular file", path);
    }
    return OpenFile(
        fd, FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)},
        static_cast<std::uint64_t>(st.st_size), path);
}

OpenFile::OpenFile(OpenFile&& other) noexcept
    : fd_(other.fd_), id_(other.id_), size_(other.size_), path_(std::move(other.path_)) {
    other.fd_ = -1;
}

OpenFile::~OpenFile() {
    if (fd_ >= 0) ::close(fd_);
}

Result<std::string> OpenFile::read_text() {
    // Read the size fstat reported, then on until EOF: the file may change meanwhile.
    std::string text(static_cast<std::size_t>(size_), '\0');
    std::size_t have = 0;
    for (;;) {
        char spill[4096];
        const bool in_place = have < text.size();
        char* dest = in_place ? text.data() + have : spill;
        const std::size_t room = in_place ? text.size() - have : sizeof spill;
        const ssize_t n = ::read(fd_, dest, room);
        if (n < 0) {
            if (errno == EINTR) continue;
            return QernError::io(os_error_text(errno), path_);
        }
        if (n == 0) break;
        if (in_place) {
            have += static_cast<std::size_t>(n);
        } else {
            text.append(spill, static_cast<std::size_t>(n));
            have = text.size();
        }
    }
    text.resize(have);
    if (!is_valid_utf8(text)) return QernError::io("stream did not contain valid UTF-8", path_);
    return text;
}

}  // namespace qern
