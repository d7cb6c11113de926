#include "cli/check.hpp"

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "analysis/analysis.hpp"
#include "cli/render.hpp"
#include "qern/file.hpp"

namespace qern::cli {

namespace {

namespace fs = std::filesystem;

// What one checked file contributes to the output, made by a worker.
struct FileResult {
    // What the file adds to standard output: text, annotations, or the JSON format's
    // diagnostics (each serialized already, separated by commas).
    std::string output;
    std::size_t errors = 0;
    std::size_t warnings = 0;
    bool counted = false;  // a path that was checked (a file, or a directory it could not list)
    std::string failure;   // an unexpected failure of the checker itself
};

class Runner {
  public:
    Runner(const CheckOptions& options, const std::vector<analysis::Entry>& entries)
        : options_(options), entries_(entries), results_(entries.size()), done_(entries.size()) {
        style_.color = use_color(options.color, STDOUT_FILENO);
        style_.cwd = working_directory();
    }

    // Checks every entry on `threads` threads, handing each result to `emit` in the
    // order of the entries, as soon as it and all before it are done. The calling thread
    // is one of them: it checks files like the others and hands on what is ready between
    // two of its own, so that no thread is woken for every file, taking a core from the
    // checking; it waits only at the end, for the last files.
    template <class Emit>
    void run(unsigned threads, Emit&& emit) {
        std::vector<std::jthread> helpers;  // joined on every way out, also when emit throws
        helpers.reserve(threads > 1 ? threads - 1 : 0);
        for (unsigned t = 1; t < threads; ++t) helpers.emplace_back([this] { work(); });
        SourceCache sources;
        std::size_t emitted = 0;
        const auto hand_on = [&](bool wait) {
            std::unique_lock lock(mutex_);
            while (emitted < entries_.size()) {
                if (done_[emitted] == 0) {
                    if (!wait) return;
                    waiting_ = true;
                    ready_.wait(lock, [&] { return done_[emitted] != 0; });
                    waiting_ = false;
                }
                FileResult result = std::move(results_[emitted]);
                lock.unlock();
                emit(emitted, std::move(result));
                ++emitted;
                lock.lock();
            }
        };
        for (;;) {
            const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
            if (i >= entries_.size()) break;
            store(i, check(i, sources));
            hand_on(false);
        }
        hand_on(true);
    }

  private:
    void work() {
        SourceCache sources;
        for (;;) {
            const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
            if (i >= entries_.size()) return;
            store(i, check(i, sources));
        }
    }

    void store(std::size_t i, FileResult result) {
        bool wake;
        {
            std::lock_guard lock(mutex_);
            results_[i] = std::move(result);
            done_[i] = 1;
            wake = waiting_;
        }
        if (wake) ready_.notify_one();
    }

    FileResult check(std::size_t i, SourceCache& sources) {
        const analysis::Entry& entry = entries_[i];
        FileResult result;
        try {
            result.counted = true;
            const std::vector<analysis::Diagnostic> diagnostics =
                analysis::check_entry(entry, {options_.strict});
            for (const analysis::Diagnostic& d : diagnostics) {
                (d.severity == analysis::Severity::Error ? result.errors : result.warnings) += 1;
                switch (options_.format) {
                    case Format::Text:
                        result.output += render_text(d, sources, style_);
                        break;
                    case Format::Github:
                        result.output += render_github(d, options_.directory, style_.cwd);
                        break;
                    case Format::Json:
                        if (!result.output.empty()) result.output += ',';
                        result.output += to_json(d).dump(
                            -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
                        break;
                }
            }
        } catch (const std::exception& e) {
            result.failure = e.what();
        }
        return result;
    }

    const CheckOptions& options_;
    const std::vector<analysis::Entry>& entries_;
    TextStyle style_;
    std::vector<FileResult> results_;
    std::vector<char> done_;
    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable ready_;
    bool waiting_ = false;  // the calling thread waits for a result
};

std::string counted(std::size_t n, std::string_view what) {
    return std::to_string(n) + " " + std::string(what) + (n == 1 ? "" : "s");
}

void write_out(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

unsigned available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

bool use_color(ColorMode mode, int fd) {
    if (mode != ColorMode::Auto) return mode == ColorMode::Always;
    const char* no_color = std::getenv("NO_COLOR");
    if (no_color != nullptr && no_color[0] != '\0') return false;
    const char* term = std::getenv("TERM");
    if (term != nullptr && std::string_view(term) == "dumb") return false;
    return ::isatty(fd) != 0;
}

std::string working_directory() {
    std::error_code ec;
    fs::path cwd = fs::current_path(ec);
    return ec ? std::string("(unknown)") : cwd.string();
}

int run_check(const CheckOptions& options) {
    const analysis::Expansion expansion = analysis::expand_paths(options.paths);
    if (!expansion.empty.empty()) {
        for (const std::string& dir : expansion.empty)
            std::fprintf(stderr, "qern: no .qrn files below the directory '%s'\n",
                         escape_controls(dir).c_str());
        std::fprintf(stderr,
                     "qern: give .qrn files, or directories that hold some; "
                     "see 'qern check --help'\n");
        return 2;
    }

    const std::vector<analysis::Entry>& entries = expansion.entries;
    const unsigned jobs = options.jobs == 0 ? available_cores() : options.jobs;
    const unsigned threads = static_cast<unsigned>(
        std::min<std::size_t>(jobs, std::max<std::size_t>(1, entries.size())));

    std::size_t errors = 0, warnings = 0, files = 0, files_with_problems = 0;
    // The JSON format is written as the files are done, so that a run with many findings
    // never holds them all; the counts, known only at the end, come after them.
    const bool json = options.format == Format::Json;
    if (json) write_out("{\"version\":1,\"diagnostics\":[");
    bool first = true;
    Runner runner(options, entries);
    runner.run(threads, [&](std::size_t i, FileResult result) {
        if (!result.failure.empty()) {
            std::fflush(stdout);
            std::fprintf(stderr, "qern: %s: the check failed: %s\n",
                         escape_controls(entries[i].path).c_str(), result.failure.c_str());
            ++result.errors;
        }
        files += result.counted;
        errors += result.errors;
        warnings += result.warnings;
        files_with_problems += (result.errors + result.warnings) != 0;
        if (json && !result.output.empty() && !std::exchange(first, false)) write_out(",");
        write_out(result.output);
    });
    if (json) {
        write_out("],\"files_checked\":" + std::to_string(files) + ",\"errors\":" +
                  std::to_string(errors) + ",\"warnings\":" + std::to_string(warnings) + "}\n");
    }
    std::fflush(stdout);
    if (std::ferror(stdout)) {
        std::fprintf(stderr, "qern: could not write the report to standard output\n");
        return 1;
    }

    if (options.format != Format::Json) {
        std::string summary;
        if (errors + warnings == 0) {
            summary = counted(files, "file") + " checked, no problems";
        } else {
            if (errors != 0) summary = counted(errors, "error");
            if (warnings != 0)
                summary += (summary.empty() ? "" : ", ") + counted(warnings, "warning");
            summary += " in " + counted(files_with_problems, "file") + " (" +
                       counted(files, "file") + " checked)";
        }
        std::fprintf(stderr, "qern: %s\n", summary.c_str());
    }
    return errors != 0 || (options.strict && warnings != 0) ? 1 : 0;
}

}  // namespace qern::cli
