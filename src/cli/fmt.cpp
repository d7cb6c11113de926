#include "cli/fmt.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dtl/dtl.hpp>
#include <iostream>
#include <iterator>
#include <optional>

#include "analysis/format.hpp"
#include "cli/check.hpp"
#include "cli/render.hpp"
#include "qern/diagnostic.hpp"
#include "qern/file.hpp"
#include "qern/text.hpp"

namespace qern::cli {

namespace {

constexpr int kProblems = 1;
constexpr int kInternal = 3;
constexpr std::size_t kContext = 3;

// The lines of a text, each with its ending.
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t nl = text.find('\n', pos);
        const std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

void append_line(std::string& out, char mark, std::string_view line) {
    out += mark;
    out += line;
    if (!line.ends_with('\n')) out += "\n\\ No newline at end of file\n";
}

// "start,count" of a hunk's side, as unified diffs write it: an empty side names the line
// before it.
std::string range(std::size_t first, std::size_t count) {
    const std::size_t start = count == 0 ? first - 1 : first;
    return std::to_string(start) + "," + std::to_string(count);
}

// Writes `text` to the file at `path` in its place: a new file beside it, with its
// permissions, renamed over it, so that no reader ever sees half of it. (It is not synced
// to the disk first: as with an editor's save, the system writes it out in its time.) A symbolic
// link is followed: the file it names is replaced. Empty when done, else the reason.
std::string replace_file(const std::string& path, std::string_view text) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return os_error_text(errno);
    const std::string target(resolved);
    std::free(resolved);
    struct stat st;
    if (::stat(target.c_str(), &st) != 0) return os_error_text(errno);
    std::string temp = target + ".qern-fmt-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return os_error_text(errno);
    const auto fail = [&](int code) {
        ::close(fd);
        ::unlink(temp.c_str());
        return os_error_text(code);
    };
    if (::fchmod(fd, st.st_mode & 07777) != 0) return fail(errno);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail(errno);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temp.c_str());
        return os_error_text(code);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int code = errno;
        ::unlink(temp.c_str());
        return os_error_text(code);
    }
    return {};
}

// All of standard input, or the reason it could not be read.
std::optional<std::string> read_stdin(std::string& reason) {
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            reason = os_error_text(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    if (!is_valid_utf8(text)) {
        reason = "stream did not contain valid UTF-8";
        return std::nullopt;
    }
    return text;
}

class Formatter {
  public:
    explicit Formatter(const FmtOptions& options) : options_(options) {
        style_.color = use_color(ColorMode::Auto, STDERR_FILENO);
        style_.cwd = working_directory();
    }

    // One file, or standard input for "-".
    void run(const std::string& path) {
        const bool stdin_ = path == "-";
        const std::string shown = stdin_ ? "<stdin>" : path;
        std::string text;
        if (stdin_) {
            std::string reason;
            auto read = read_stdin(reason);
            if (!read) return io_error(shown, reason);
            text = std::move(*read);
        } else {
            auto file = OpenFile::open(path);
            if (!file) return io_error(shown, file.error().as<QernError::Io>()->message);
            auto read = file->read_text();
            if (!read) return io_error(shown, read.error().as<QernError::Io>()->message);
            text = std::move(read).value();
        }

        analysis::Formatted result = analysis::format_text(text);
        switch (result.status) {
            case analysis::Formatted::Status::Refused:
                ++refused_;
                status_ = std::max(status_, kProblems);
                for (QernError& e : result.errors) report(shown, e);
                return;
            case analysis::Formatted::Status::Unsafe:
                ++unsafe_;
                status_ = kInternal;
                std::fflush(stdout);
                std::fprintf(stderr,
                             "qern: %s: internal error: the formatted text would not declare what "
                             "the file declares, so it is left as it was; please report this. "
                             "The first difference:\n%s\n",
                             escape_controls(shown).c_str(),
                             escape_controls(result.difference).c_str());
                return;
            case analysis::Formatted::Status::Done:
                break;
        }
        const bool changes = result.text != text;
        if (options_.diff && changes) write_out(unified_diff(text, result.text, path));
        if (options_.check) {
            if (changes) {
                ++changed_;
                status_ = std::max(status_, kProblems);
                if (!options_.diff) write_out(escape_controls(path) + "\n");
            } else {
                ++unchanged_;
            }
            return;
        }
        if (options_.diff) {
            (changes ? changed_ : unchanged_) += 1;
            return;
        }
        if (stdin_) {
            write_out(result.text);
            return;
        }
        if (!changes) {
            ++unchanged_;
            return;
        }
        if (const std::string reason = replace_file(path, result.text); !reason.empty()) {
            std::fflush(stdout);
            std::fprintf(stderr, "qern: %s: could not write the formatted file: %s\n",
                         escape_controls(path).c_str(), escape_controls(reason).c_str());
            status_ = std::max(status_, kProblems);
            return;
        }
        ++changed_;
    }

    void listing_error(const Entry& entry) { io_error(entry.path, entry.listing_error); }

    int finish(bool summary) {
        std::fflush(stdout);
        if (std::ferror(stdout)) {
            std::fprintf(stderr, "qern: could not write to standard output\n");
            return std::max(status_, kProblems);
        }
        if (summary) {
            const auto files = [](std::size_t n) {
                return std::to_string(n) + (n == 1 ? " file" : " files");
            };
            const bool dry = options_.check || options_.diff;
            std::string line = files(changed_) + (dry ? " would be reformatted" : " reformatted") +
                               ", " + files(unchanged_) +
                               (dry ? " already formatted" : " left unchanged");
            if (refused_ + unreadable_ != 0)
                line += ", " + files(refused_ + unreadable_) + " not formatted (see above)";
            if (unsafe_ != 0) line += ", " + files(unsafe_) + " left as they were (internal error)";
            std::fprintf(stderr, "qern: %s\n", line.c_str());
        }
        return status_;
    }

  private:
    void write_out(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }

    void io_error(const std::string& path, const std::string& reason) {
        ++unreadable_;
        status_ = std::max(status_, kProblems);
        analysis::Diagnostic d;
        d.code = "io";
        d.message = "IO Error: " + reason;
        d.where.file = path;
        d.path = path;
        emit(d);
    }

    void report(const std::string& path, QernError& error) {
        analysis::Diagnostic d;
        d.code = std::string(error_code(error));
        d.message = error.display();
        if (error.location() != nullptr) d.where = *error.location();
        d.where.file = path;
        emit(d);
    }

    void emit(const analysis::Diagnostic& d) {
        std::fflush(stdout);
        const std::string text = render_text(d, sources_, style_);
        std::fwrite(text.data(), 1, text.size(), stderr);
    }

    const FmtOptions& options_;
    TextStyle style_;
    SourceCache sources_;
    int status_ = 0;
    std::size_t changed_ = 0, unchanged_ = 0, refused_ = 0, unreadable_ = 0, unsafe_ = 0;
};

}  // namespace

std::string unified_diff(std::string_view before, std::string_view after, std::string_view path) {
    const std::vector<std::string_view> a = lines_of(before), b = lines_of(after);
    dtl::Diff<std::string_view, std::vector<std::string_view>> diff(a, b);
    diff.onHuge();
    diff.compose();
    // The edit script as (kind, line in a, line in b), lines 1-based.
    struct Op {
        long long kind;
        std::size_t a, b;
    };
    std::vector<Op> ops;
    for (const auto& [line, info] : diff.getSes().getSequence())
        ops.push_back({info.type, static_cast<std::size_t>(info.beforeIdx),
                       static_cast<std::size_t>(info.afterIdx)});
    std::string out;
    std::size_t i = 0;
    while (i < ops.size()) {
        if (ops[i].kind == dtl::SES_COMMON) {
            ++i;
            continue;
        }
        // A hunk: changes whose common runs between them are short, with context around.
        std::size_t begin = i >= kContext ? i - kContext : 0;
        while (begin < i && ops[begin].kind != dtl::SES_COMMON) ++begin;
        std::size_t end = i;
        for (;;) {
            while (end < ops.size() && ops[end].kind != dtl::SES_COMMON) ++end;
            std::size_t common = 0;
            while (end + common < ops.size() && ops[end + common].kind == dtl::SES_COMMON) ++common;
            if (end + common < ops.size() && common <= 2 * kContext) {
                end += common;
                continue;
            }
            end += std::min(common, kContext);
            break;
        }
        // Where each side starts: the first line of the hunk on that side.
        std::size_t a_first = 0, b_first = 0, a_count = 0, b_count = 0;
        std::size_t a_next = 1, b_next = 1;  // the line after the last one seen before
        for (std::size_t k = 0; k < begin; ++k) {
            if (ops[k].kind != dtl::SES_ADD) a_next = ops[k].a + 1;
            if (ops[k].kind != dtl::SES_DELETE) b_next = ops[k].b + 1;
        }
        a_first = a_next;
        b_first = b_next;
        // Each run of changes: its deletions, then its additions, as diff(1) writes them.
        std::string body, added;
        for (std::size_t k = begin; k < end; ++k) {
            const Op& op = ops[k];
            if (op.kind == dtl::SES_COMMON) {
                body += added;
                added.clear();
                append_line(body, ' ', a[op.a - 1]);
                ++a_count;
                ++b_count;
            } else if (op.kind == dtl::SES_DELETE) {
                append_line(body, '-', a[op.a - 1]);
                ++a_count;
            } else {
                append_line(added, '+', b[op.b - 1]);
                ++b_count;
            }
        }
        body += added;
        if (out.empty()) {
            const std::string shown = escape_controls(path);
            out = concat("--- ", shown, "\n+++ ", shown, "\n");
        }
        out += concat("@@ -", range(a_first, a_count), " +", range(b_first, b_count), " @@\n");
        out += body;
        i = end;
    }
    return out;
}

int run_fmt(const FmtOptions& options) {
    if (std::count(options.paths.begin(), options.paths.end(), "-") > 1) {
        std::fprintf(stderr, "qern: '-' (standard input) may be given once\n");
        return 2;
    }
    // Each PATH in its turn: a file, the *.qrn files below a directory, or standard input.
    std::vector<std::vector<Entry>> work;
    std::vector<std::string> empty;
    for (const std::string& path : options.paths) {
        if (path == "-") {
            work.push_back({{path, {}}});
            continue;
        }
        Expansion expansion = expand_paths({path});
        empty.insert(empty.end(), expansion.empty.begin(), expansion.empty.end());
        work.push_back(std::move(expansion.entries));
    }
    if (!empty.empty()) {
        for (const std::string& dir : empty)
            std::fprintf(stderr, "qern: no .qrn files below the directory '%s'\n",
                         escape_controls(dir).c_str());
        std::fprintf(stderr,
                     "qern: give .qrn files, or directories that hold some; "
                     "see 'qern fmt --help'\n");
        return 2;
    }
    Formatter formatter(options);
    for (const std::vector<Entry>& entries : work) {
        for (const Entry& e : entries) {
            if (!e.listing_error.empty())
                formatter.listing_error(e);
            else
                formatter.run(e.path);
        }
    }
    const bool only_stdin = std::all_of(options.paths.begin(), options.paths.end(),
                                        [](const auto& p) { return p == "-"; });
    return formatter.finish(!only_stdin);
}

}  // namespace qern::cli
