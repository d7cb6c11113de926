#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lsp/features.hpp"

namespace qern::lsp {

// What a name can be declared as.
enum class Declares : std::uint8_t { Key, Type, Schema };

// The statement that declares a name, in the open document or in a file it reads.
struct Declared {
    std::shared_ptr<const ParsedText> text;
    std::optional<std::string> file;  // absolute; the document's own path in the document
    bool in_document = false;         // the open document itself
    bool derived = false;             // brought in by a @derive
    Span name;                        // where the name is written
};

// The declaration in effect for `name` in the open document, found in the syntax trees of
// the document and of the files it reads, as the merge reads them: the last one the
// document reads itself (in its own text or in a file it imports); else the one the first
// @derive whose base declares it brings in (and so on, through the base's own files).
// For a key, `value` (the value the merged document holds, when known) passes over
// assignments whose value was not stored.
std::optional<Declared> find_declaration(Files& files, Declares kind, std::string_view name,
                                         std::optional<std::string_view> value = std::nullopt);
// The declaration a type name stands for: a type alias before a schema of that name, as a
// field's type is looked up.
std::optional<Declared> find_type(Files& files, std::string_view name);

// The schemas that a @derive of the file written as `path` can take: those the file
// declares, in its own text, in the files it imports and through its own @derive. Sorted.
std::vector<std::string> derivable_schemas(Files& files, std::string_view path);

// A protocol Location for a declaration.
json location_json(const Snapshot& snapshot, const Declared& declared);

}  // namespace qern::lsp
