// The list and inline-object literal parsers: every item and field must lie inside the
// input, trimmed, and the parse must be deterministic. A list of objects read in one pass
// must read each item as the item read on its own does.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "qern/literals.hpp"
#include "qern/text.hpp"

namespace {

bool inside(std::string_view part, std::string_view whole) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto items = qern::parse_list(text)) {
        for (std::string_view item : *items)
            if (item.empty() || !inside(item, text) || qern::trim(item) != item) std::abort();
    }
    const qern::InlineObject object = qern::parse_inline_object(text);
    if (object.ok() != object.error.empty()) std::abort();
    for (const auto& field : object.fields)
        if (field.key.empty() || !inside(field.key, text) || !inside(field.value, text))
            std::abort();
    std::vector<qern::literal_scan::InnerMark> marks;
    std::vector<qern::ObjectField> fields, alone;
    std::string error, alone_error;
    qern::for_each_list_object(text, marks, fields, error, [&](std::string_view item, bool read) {
        if (read != qern::parse_inline_object_into(item, alone, alone_error)) std::abort();
        if (!read && error != alone_error) std::abort();
        if (fields.size() != alone.size()) std::abort();
        for (std::size_t i = 0; i < fields.size(); ++i)
            if (fields[i].key != alone[i].key || fields[i].value != alone[i].value) std::abort();
        return true;
    });
    return 0;
}
