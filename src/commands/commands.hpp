#pragma once

#include <string_view>

#include "qern/document.hpp"
#include "qern/rules.hpp"

namespace qern {

// "@import <path>": merges another file's text into this document, where it stands.
class ImportCommand final : public Command {
  public:
    std::string_view name() const override { return kImportName; }
    Result<void> execute(QernDocument& doc, std::string_view args) const override;
};

// "@type <name> = <definition>": registers a type alias.
class TypeCommand final : public Command {
  public:
    std::string_view name() const override { return kTypeName; }
    Result<void> execute(QernDocument& doc, std::string_view args) const override;
};

// "@schema <Name> { field: type, optional*: type, ... }": registers a schema.
class SchemaCommand final : public Command {
  public:
    std::string_view name() const override { return kSchemaName; }
    Result<void> execute(QernDocument& doc, std::string_view args) const override;
};

// "@derive <path>[::Schema...]": takes over a base file's schemas, their types and its
// keys (as defaults), then checks the required fields of this document's schemas.
class DeriveCommand final : public Command {
  public:
    std::string_view name() const override { return kDeriveName; }
    Result<void> execute(QernDocument& doc, std::string_view args) const override;
};

}  // namespace qern
