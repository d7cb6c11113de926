// Prints the physics unit table for the documentation, one unit a line, tab-separated:
// display name, what it measures, its dimension, and "integer" or "number" for the
// values it takes. The docs build runs it, so the published table is the code's own.
#include <cstdio>
#include <string_view>

#include "types/physics.hpp"

int main() {
    using namespace qern;
    for (std::size_t i = 0; i < kUnitCount; ++i) {
        const auto unit = static_cast<Unit>(i);
        const std::string_view name = unit_name(unit);
        const std::string_view quantity = unit_quantity(unit);
        const std::string_view dimension = unit_dimension(unit);
        std::printf("%.*s\t%.*s\t%.*s\t%s\n", static_cast<int>(name.size()), name.data(),
                    static_cast<int>(quantity.size()), quantity.data(),
                    static_cast<int>(dimension.size()), dimension.data(),
                    is_integer_unit(unit) ? "integer" : "number");
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
