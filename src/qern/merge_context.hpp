#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qern/error.hpp"
#include "qern/file.hpp"

namespace qern {

// The state of one merge operation (merge_content, merge_file, parse, load) across every
// file it reads through @import and @derive: which files are open, to stop cycles and
// runaway nesting, and how much was read, to stop fan-outs that would repeat work
// exponentially.
class MergeContext {
  public:
    static constexpr std::size_t kMaxFileDepth = 64;
    static constexpr std::uint64_t kMaxFiles = 10'000;
    static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 30;

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
            if (context_) context_->open_.pop_back();
        }
        std::string_view text() const { return text_; }

      private:
        MergeContext* context_;
        std::string text_;
    };

    // Opens and reads `path` for this operation. A read failure is an Io error; a file
    // refused by the limits gets the error `refuse(reason)` builds, so that each
    // directive reports it in its own form.
    template <class Refuse>
    Result<Entered> enter(std::string_view path, Refuse&& refuse) {
        if (open_.size() >= kMaxFileDepth)
            return refuse(concat_reason("Files nested deeper than ", kMaxFileDepth, path));
        auto file = OpenFile::open(path);
        if (!file) return std::move(file).error();
        for (const FileId& id : open_)
            if (id == file->id()) return refuse(cycle_reason(path));
        if (files_ + 1 > kMaxFiles) return refuse(budget_reason(kMaxFiles, "files"));
        if (bytes_ + file->size() > kMaxBytes)
            return refuse(budget_reason(kMaxBytes, "bytes of file text"));
        auto text = file->read_text();
        if (!text) return std::move(text).error();
        files_ += 1;
        bytes_ += text->size();
        open_.push_back(file->id());
        return Entered(*this, std::move(text).value());
    }

  private:
    static std::string concat_reason(std::string_view head, std::size_t n, std::string_view path);
    static std::string cycle_reason(std::string_view path);
    static std::string budget_reason(std::uint64_t limit, std::string_view what);

    std::vector<FileId> open_;
    std::uint64_t files_ = 0;
    std::uint64_t bytes_ = 0;
};

}  // namespace qern
