// validate_value on an arbitrary type name and value, against a document with aliases and
// schemas registered (including self-referencing ones). Input: type name, NUL, value.
#include <cstdint>
#include <string>

#include "commands/builtins.hpp"
#include "types/types.hpp"

namespace {

const qern::QernDocument& document() {
    static const qern::QernDocument doc = [] {
        auto parsed = qern::parse_document(
            "@type port = i32\n@type vec = math::vector3\n@type ids = list<i32>\n"
            "@type pts = list<Point>\n@schema Point { x: f64, y: f64, label*: string }\n"
            "@schema Tree { value: i32, left*: Tree, right*: Tree, tags*: list<list<string>> }\n"
            "@schema Loop { next: Loop }\n");
        if (!parsed) std::abort();
        return std::move(parsed).value();
    }();
    return doc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\0');
    const std::string_view type = input.substr(0, cut);
    const std::string_view value = cut == std::string_view::npos ? "" : input.substr(cut + 1);
    auto checked = qern::validate_value(document(), type, value);
    if (!checked) (void)checked.error().display();
    auto field = qern::validate_field(document(), type, value, "S", "f");
    if (!field) (void)field.error().display();
    return 0;
}
