#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qern/error.hpp"
#include "qern/file.hpp"
#include "qern/hash.hpp"
#include "qern/location.hpp"

namespace qern {

class JoinedBlock;
class QernDocument;
struct SchemaDef;
struct SchemaSyntax;

// A statement as it stands in its file: the line it starts on, the line it ends on (they
// differ for a multi-line block), and the raw text of those two lines without their line
// endings. The views point into the text being merged. A block read for an observer also
// says where each of its joined lines came from.
struct SourceLine {
    std::size_t line = 0;
    std::size_t end_line = 0;
    std::string_view first;
    std::string_view last;
    const JoinedBlock* block = nullptr;
};

class MergeContext;

// The lines and columns of the bytes `part` of `statement`, as MergeContext::locate gives
// them, without a file.
Location locate_in(const SourceLine& statement, std::string_view part, bool to_end = false);

// Watches a merge: the command-line checker and the language server see each statement,
// declaration and failure through it. A merge without one (every merge the library runs
// for its callers) pays only a null check per statement.
class MergeObserver {
  public:
    virtual ~MergeObserver() = default;
    // When true, a failing statement is handed to on_error and the merge goes on with the
    // next line; otherwise the first failure ends the merge.
    virtual bool recover() const { return false; }
    // A failing statement's error, with its location (recovering merges only).
    virtual void on_error(const MergeContext&, QernError) {}
    // A key/value pair about to be stored; `checked` when a schema field checked it.
    virtual void on_assignment(const MergeContext&, const QernDocument&, std::string_view /*key*/,
                               std::string_view /*value*/, const SourceLine&, bool /*checked*/) {}
    // A @type or @schema about to be registered; the document does not hold it yet.
    virtual void on_type(const MergeContext&, const QernDocument&, std::string_view /*name*/,
                         std::string_view /*definition*/) {}
    // `syntax` is the declaration as read, its views in the statement (see locate()).
    virtual void on_schema(const MergeContext&, const QernDocument&, const SchemaSyntax& /*syntax*/,
                           const SchemaDef&) {}
    // A @schema that cannot be read, about to fail (recovering merges only): what of it
    // could be read.
    virtual void on_failed_schema(const MergeContext&, const QernDocument&,
                                  const SchemaSyntax& /*syntax*/) {}
    // A @derive's base file, merged into `base`, about to be taken into `doc`.
    virtual void on_derive(const MergeContext&, const QernDocument& /*doc*/,
                           const QernDocument& /*base*/) {}
};

// The state of one merge operation (merge_content, merge_file, parse, load) across every
// file it reads through @import and @derive: which files are open, to stop cycles and
// runaway nesting, and to say where an error happened; and how much was read, to stop
// fan-outs that would repeat work exponentially.
class MergeContext {
  public:
    static constexpr std::size_t kMaxFileDepth = 64;
    static constexpr std::uint64_t kMaxFiles = 10'000;
    static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 30;

    MergeContext() = default;
    // `directory`: where relative paths are taken (empty: the working directory).
    explicit MergeContext(MergeObserver* observer, std::string directory = {})
        : observer_(observer), directory_(std::move(directory)) {}
    MergeContext(const MergeContext&) = delete;
    MergeContext& operator=(const MergeContext&) = delete;

    // A file taken into the operation: its text, and its place among the open files
    // until this object goes away.
    class Entered {
      public:
        Entered(MergeContext& context, std::string text)
            : context_(&context), text_(std::move(text)) {}
        Entered(Entered&& other) noexcept
            : context_(std::exchange(other.context_, nullptr)), text_(std::move(other.text_)) {}
        Entered& operator=(Entered&&) = delete;
        ~Entered() {
            if (context_) context_->frames_.pop_back();
        }
        std::string_view text() const { return text_; }

      private:
        MergeContext* context_;
        std::string text_;
    };

    // Opens and reads `path` for this operation, reached by a directive of `kind` on the
    // current line (or as the operation's first file). A read failure is an Io error; a
    // file refused by the limits gets the error `refuse(reason)` builds, so that each
    // directive reports it in its own form.
    template <class Refuse>
    Result<Entered> enter(std::string_view path, IncludeKind kind, Refuse&& refuse) {
        const auto refused = [&](ErrorKind kind, std::string reason) {
            QernError error = refuse(std::move(reason));
            error.set_kind(kind);
            return error;
        };
        if (open_files() >= kMaxFileDepth)
            return refused(ErrorKind::Limit,
                           concat_reason("Files nested deeper than ", kMaxFileDepth, path));
        auto file = OpenFile::open(path, directory_);
        if (!file) return std::move(file).error();
        for (const Frame& frame : frames_)
            if (frame.id == file->id()) return refused(ErrorKind::Cycle, cycle_reason(path));
        if (files_ + 1 > kMaxFiles)
            return refused(ErrorKind::Limit, budget_reason(kMaxFiles, "files"));
        if (bytes_ + file->size() > kMaxBytes)
            return refused(ErrorKind::Limit, budget_reason(kMaxBytes, "bytes of file text"));
        auto text = file->read_text();
        if (!text) return std::move(text).error();
        files_ += 1;
        bytes_ += text->size();
        push_frame(std::string(path), file->id(), kind);
        return Entered(*this, std::move(text).value());
    }

    // Text that came from the caller rather than a file: `file` names it in locations
    // (none for a string), and `id`, when the text stands for a file on disk, lets a
    // directive that reads that file again be seen as a cycle. Undone by leave_text().
    void enter_text(std::optional<std::string> file, std::optional<FileId> id = std::nullopt);
    void leave_text() { frames_.pop_back(); }

    // The statement being run in the innermost file, set by the parser before it runs a
    // directive, so that a file entered by it knows the line that included it.
    void set_statement(const SourceLine& statement) {
        if (!frames_.empty()) frames_.back().statement = statement;
    }
    const SourceLine& statement() const { return frames_.back().statement; }

    // The location of the bytes `part` of `statement` (a view into its first line, or into
    // the joined text of its block) in the innermost file; with `to_end`, the span runs on
    // to the end of the statement's last line. An empty `part` stands for the whole
    // statement.
    Location locate(const SourceLine& statement, std::string_view part, bool to_end = false) const;
    // The location of the innermost file as a whole.
    Location locate_file() const;
    // The files open, outermost first, as (file, line of the directive that included the
    // next one).
    std::vector<IncludeStep> chain() const;
    // A number that tells apart the files of this operation, also two readings of one
    // file: each entered file gets the next one.
    std::uint32_t file_serial() const { return frames_.empty() ? 0 : frames_.back().serial; }

    MergeObserver* observer() const { return observer_; }
    bool recovering() const { return observer_ != nullptr && observer_->recover(); }
    // Hands a failing statement's error to the observer; counts it.
    void report(QernError error);
    std::size_t reported() const { return reported_; }
    // Reports an error of the directive being run, placed at `part` of its statement.
    void report_at(QernError error, std::string_view part);

    // Where relative paths are taken; empty for the working directory.
    const std::string& directory() const { return directory_; }

    // What failed in a recovering merge, so that what only follows from it is not
    // reported again: the schemas that failed to register, in order, and the keys whose
    // assignments failed. Merges that stop at the first error record nothing.
    void note_failed_schema(std::string_view name);
    std::size_t failed_schema_count() const { return failed_schemas_.size(); }
    // Whether a schema named `name` failed to register since the count was `from`.
    bool schema_failed_since(std::size_t from, std::string_view name) const;
    void note_failed_key(std::string_view key);
    bool key_failed(std::string_view key) const {
        return failed_keys_ && failed_keys_->count(key) != 0;
    }

  private:
    struct Frame {
        std::optional<std::string> file;
        std::optional<FileId> id;
        IncludeKind kind = IncludeKind::Import;
        std::uint32_t serial = 0;
        SourceLine statement;
    };
    void push_frame(std::optional<std::string> file, std::optional<FileId> id, IncludeKind kind);
    std::size_t open_files() const;

    static std::string concat_reason(std::string_view head, std::size_t n, std::string_view path);
    static std::string cycle_reason(std::string_view path);
    static std::string budget_reason(std::uint64_t limit, std::string_view what);

    std::vector<Frame> frames_;
    std::uint64_t files_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint32_t serials_ = 0;
    std::size_t reported_ = 0;
    MergeObserver* observer_ = nullptr;
    std::string directory_;
    std::vector<std::string> failed_schemas_;
    std::unique_ptr<StringSet> failed_keys_;  // made on the first failed key
};

}  // namespace qern
