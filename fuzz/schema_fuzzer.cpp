// @schema bodies: the input is the directive's argument text. A schema that registers
// must then be usable for validation without crashing.
#include <cstdint>
#include <string>

#include "commands/builtins.hpp"
#include "types/types.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    qern::QernDocument doc = qern::new_document();
    const auto& schema = doc.commands().find("schema")->second;
    auto registered = schema->execute(doc, body);
    if (!registered) {
        (void)registered.error().display();
        return 0;
    }
    doc.schemas().for_each([&](const std::string& name, const qern::SchemaDef& def) {
        for (const auto& [field, type] : def.fields) {
            auto r = qern::validate_field(doc, name, "{ " + field + " = 1 }", "S", "f");
            if (!r) (void)r.error().display();
            (void)type;
        }
    });
    auto assigned = doc.merge_content("a = 1\nb = {}\n");
    if (!assigned) (void)assigned.error().display();
    return 0;
}
