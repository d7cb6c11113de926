#include "types/math.hpp"

#include <iterator>
#include <string>

#include "qern/text.hpp"
#include "types/number.hpp"

namespace qern {

std::optional<MathKind> find_math_kind(std::string_view member) {
    for (std::size_t i = 0; i < std::size(kMathMembers); ++i)
        if (member == kMathMembers[i]) return static_cast<MathKind>(i);
    return std::nullopt;
}

std::size_t math_components(MathKind kind) {
    switch (kind) {
        case MathKind::Vector2:
            return 2;
        case MathKind::Vector3:
            return 3;
        case MathKind::Vector4:
        case MathKind::Quaternion:
            return 4;
        case MathKind::Matrix3x3:
            return 9;
        case MathKind::Matrix4x4:
            return 16;
    }
    return 0;
}

Result<void> validate_math(MathKind kind, std::string_view value) {
    // Every piece is checked before the count, so a malformed piece is reported even when
    // the count is wrong too.
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = value.find(',', start);
        const std::string_view piece =
            trim(value.substr(start, comma == std::string_view::npos ? value.npos : comma - start));
        if (!is_number(piece)) return QernError::invalid_value(concat("Invalid number: ", piece));
        ++count;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    const std::size_t expected = math_components(kind);
    if (count != expected) {
        return QernError::invalid_value(concat("Expected ", std::to_string(expected),
                                               " components, got ", std::to_string(count)));
    }
    return success();
}

}  // namespace qern
