#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "analysis/analysis.hpp"
#include "lsp/source_text.hpp"
#include "lsp/statements.hpp"

namespace qern::lsp {

using nlohmann::json;

// One analysis of a document's text.
struct Checked {
    std::uint64_t revision = 0;    // of the document's text
    std::uint64_t generation = 0;  // of what else decides the result: settings, files on disk
    bool recorded = false;         // declarations collected
    std::string workdir;
    std::shared_ptr<const SourceText> text;
    analysis::Analysis analysis;
};

// What the client said it can show.
struct ClientOptions {
    Encoding encoding = Encoding::Utf16;
    bool markdown = true;
    bool snippets = false;
    bool hierarchical_symbols = true;
    bool related_information = true;
};

// A document as one request sees it: the current text and an analysis (of this text for
// hover, definition and symbols; possibly of an earlier text for completion, which needs
// only the declared names).
struct Snapshot {
    std::string uri;
    std::optional<std::string> path;  // absolute; none for a document of no file
    std::shared_ptr<const SourceText> text;
    std::string workdir;
    std::shared_ptr<const Checked> checked;
    const ClientOptions* client = nullptr;

    // The URI of a file as a location names it (relative paths against the working
    // directory the analysis ran in).
    std::string uri_of(const std::optional<std::string>& file) const;
    std::optional<std::string> absolute(const std::optional<std::string>& file) const;
};

// Texts of other files, read once per answer, to turn their columns into code units.
class FileTexts {
  public:
    explicit FileTexts(const Snapshot& snapshot) : snapshot_(snapshot) {}
    // The text of the file a location names; null when it cannot be read.
    std::shared_ptr<const SourceText> get(const std::optional<std::string>& file);
    // A protocol Location for a library location.
    json location(const Location& where);
    json range(const Location& where);

  private:
    const Snapshot& snapshot_;
    std::map<std::string, std::shared_ptr<const SourceText>> texts_;
};

json range_json(const Range& range);
Range span_range(const SourceText& text, const Span& span, Encoding encoding);
Position position_from_json(const json& position);  // throws on a malformed position

// The declaration in effect for `name`: the last one read into the document itself, else
// one that a @derive brought in (for a key, the one whose value the document holds).
const analysis::Declaration* effective_declaration(const analysis::Analysis& analysis,
                                                   analysis::Declaration::Kind kind,
                                                   std::string_view name);
bool derived(const Location& where);  // read into a @derive's base document

// The notification's params: every diagnostic of the analysis, placed in the document,
// for the document's `version` (an integer as the client sent it; none when null).
json diagnostics_params(const Snapshot& snapshot, const analysis::Analysis& analysis,
                        const json& version);

json hover(const Snapshot& snapshot, Position position);
json definition(const Snapshot& snapshot, Position position);
json document_symbols(const Snapshot& snapshot);
// May read the base file of a @derive: call with the working directory current.
json completion(const Snapshot& snapshot, Position position);

}  // namespace qern::lsp
