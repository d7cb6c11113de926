#include "qern/merge_context.hpp"

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

}  // namespace qern
