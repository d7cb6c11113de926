#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "qern/document.hpp"
#include "qern/hash.hpp"

namespace qern {

// The declared fields of a schema, sorted by name, each with what a walk keeps for it
// (`Info`, made once per walk from the field's type name), and the way a field of an
// inline object finds its declaration. Sorted order is the order in which a walk visits
// the fields, so that which failure it reports first never depends on hash order.
//
// The objects of one list tend to give their fields in one order. The declaration found
// for an object's i-th field is tried first for the i-th field of the next object, which
// makes most lookups one comparison.
template <class Info>
class FieldTable {
  public:
    struct Field {
        std::string_view name;
        std::string_view type;
        bool optional;
        Info info;
    };

    template <class MakeInfo>
    FieldTable(const SchemaDef& schema, MakeInfo&& make_info) : schema_(&schema) {
        fields_.reserve(schema.fields.size());
        for (const auto& [name, type] : schema.fields)
            fields_.push_back({name, type, schema.optional.count(name) != 0, Info{}});
        std::sort(fields_.begin(), fields_.end(),
                  [](const Field& a, const Field& b) { return a.name < b.name; });
        for (Field& field : fields_) {
            field.info = make_info(field.type);
            if (!field.optional) ++required_;
        }
        std::fill(std::begin(guesses_), std::end(guesses_), kNoGuess);
    }

    const SchemaDef* schema() const { return schema_; }
    const std::vector<Field>& fields() const { return fields_; }
    std::size_t size() const { return fields_.size(); }
    std::size_t required() const { return required_; }  // how many are not optional

    // The declaration of the field `name`, given as the `position`-th field of its object;
    // null when the schema does not declare it.
    const Field* find(std::string_view name, std::size_t position) {
        const bool guessed = position < kGuesses;
        if (guessed) {
            const std::uint32_t at = guesses_[position];
            if (at < fields_.size() && same_text(fields_[at].name, name)) return &fields_[at];
        }
        const Field* field = search(name);
        if (guessed && field != nullptr)
            guesses_[position] = static_cast<std::uint32_t>(field - fields_.data());
        return field;
    }

    std::size_t index_of(const Field* field) const {
        return static_cast<std::size_t>(field - fields_.data());
    }

  private:
    static constexpr std::size_t kGuesses = 32;
    static constexpr std::uint32_t kNoGuess = ~std::uint32_t{0};

    const Field* search(std::string_view name) const {
        if (fields_.size() <= 16) {
            for (const Field& f : fields_)
                if (same_text(f.name, name)) return &f;
            return nullptr;
        }
        const auto it =
            std::lower_bound(fields_.begin(), fields_.end(), name,
                             [](const Field& f, std::string_view n) { return f.name < n; });
        return it != fields_.end() && it->name == name ? &*it : nullptr;
    }

    const SchemaDef* schema_;
    std::vector<Field> fields_;
    std::size_t required_ = 0;
    std::uint32_t guesses_[kGuesses];
};

}  // namespace qern
