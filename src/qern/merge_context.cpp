#include "qern/merge_context.hpp"

#include "qern/rules.hpp"
#include "qern/text.hpp"

namespace qern {

std::string MergeContext::concat_reason(std::string_view head, std::size_t n,
                                        std::string_view path) {
    return concat(head, std::to_string(n), " levels at '", path, "'");
}

std::string MergeContext::cycle_reason(std::string_view path) {
    return concat("Cycle: '", path, "' is already being read");
}

std::string MergeContext::budget_reason(std::uint64_t limit, std::string_view what) {
    return concat("One merge may read at most ", std::to_string(limit), " ", what);
}

void MergeContext::push_frame(std::optional<std::string> file, std::optional<FileId> id,
                              IncludeKind kind) {
    Frame frame;
    frame.file = std::move(file);
    frame.id = id;
    frame.kind = kind;
    frame.serial = ++serials_;
    frames_.push_back(std::move(frame));
}

void MergeContext::enter_text(std::optional<std::string> file, std::optional<FileId> id) {
    push_frame(std::move(file), id, IncludeKind::Import);
}

std::size_t MergeContext::open_files() const {
    // Text from a string is no file: only files count toward the nesting limit.
    std::size_t n = 0;
    for (const Frame& frame : frames_) n += frame.id.has_value();
    return n;
}

std::vector<IncludeStep> MergeContext::chain() const {
    std::vector<IncludeStep> steps;
    if (frames_.size() > 1) steps.reserve(frames_.size() - 1);
    for (std::size_t i = 0; i + 1 < frames_.size(); ++i)
        steps.push_back({frames_[i].file, frames_[i].statement.line, frames_[i + 1].kind});
    return steps;
}

Location MergeContext::locate_file() const {
    Location where;
    if (!frames_.empty()) where.file = frames_.back().file;
    where.chain = chain();
    return where;
}

Location MergeContext::locate(const SourceLine& statement, std::string_view part,
                              bool to_end) const {
    Location where = locate_in(statement, part, to_end);
    Location file = locate_file();
    where.file = std::move(file.file);
    where.chain = std::move(file.chain);
    return where;
}

Location locate_in(const SourceLine& statement, std::string_view part, bool to_end) {
    Location where;
    const std::string_view first = statement.first;
    const std::string_view last = statement.last.data() != nullptr ? statement.last : first;
    where.line = statement.line;
    where.end_line = statement.end_line != 0 ? statement.end_line : statement.line;
    if (const JoinedBlock* block = statement.block; block != nullptr && !part.empty()) {
        const std::string_view joined = block->text();
        if (part.data() >= joined.data() &&
            part.data() + part.size() <= joined.data() + joined.size()) {
            const auto begin = static_cast<std::size_t>(part.data() - joined.data());
            // A place in the joined text, in the line it came from; an end is placed in
            // the line of the byte before it.
            const auto place = [&](std::size_t offset, bool end, std::size_t& line,
                                   std::size_t& column) {
                const JoinedBlock::Segment& s = block->segment_at(end ? offset - 1 : offset);
                line = s.line;
                const auto lead = static_cast<std::size_t>(s.cleaned.data() - s.raw.data());
                column = column_at(s.raw, lead + (offset - s.at));
            };
            place(begin, false, where.line, where.column);
            place(begin + part.size(), true, where.end_line, where.end_column);
            return where;
        }
    }
    // The statement ends where the parser's reading of its last line ends: before a
    // comment and trailing whitespace, a lone '\r' among it.
    const std::size_t last_end = trim_end(strip_comment(last)).size();
    const bool within = !part.empty() && part.data() >= first.data() &&
                        part.data() + part.size() <= first.data() + first.size();
    if (within) {
        const auto begin = static_cast<std::size_t>(part.data() - first.data());
        where.column = column_at(first, begin);
        if (to_end) {
            where.end_column = column_at(last, last_end);
        } else {
            where.end_line = where.line;
            where.end_column = column_at(first, begin + part.size());
        }
    } else {
        where.column = 1;
        where.end_column = column_at(last, last_end);
    }
    return where;
}

void MergeContext::report(QernError error) {
    ++reported_;
    if (observer_ != nullptr) observer_->on_error(*this, std::move(error));
}

void MergeContext::report_at(QernError error, std::string_view part) {
    if (!frames_.empty()) error.set_location(locate(statement(), part));
    report(std::move(error));
}

void MergeContext::note_failed_schema(std::string_view name) {
    if (recovering()) failed_schemas_.emplace_back(name);
}

bool MergeContext::schema_failed_since(std::size_t from, std::string_view name) const {
    for (std::size_t i = from; i < failed_schemas_.size(); ++i)
        if (failed_schemas_[i] == name) return true;
    return false;
}

void MergeContext::note_failed_key(std::string_view key) {
    if (!recovering()) return;
    if (!failed_keys_) failed_keys_ = std::make_unique<StringSet>();
    failed_keys_->emplace(key);
}

}  // namespace qern
