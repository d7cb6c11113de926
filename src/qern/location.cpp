#include "qern/location.hpp"

namespace qern {

std::size_t column_at(std::string_view line, std::size_t offset) {
    if (offset > line.size()) offset = line.size();
    std::size_t column = 1;
    for (std::size_t i = 0; i < offset; ++i)
        column += (static_cast<unsigned char>(line[i]) & 0xC0) != 0x80;
    return column;
}

}  // namespace qern
