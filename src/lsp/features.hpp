#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "analysis/analysis.hpp"
#include "lsp/json_out.hpp"
#include "lsp/parsed_text.hpp"
#include "lsp/source_text.hpp"

namespace qern::lsp {

using nlohmann::json;

// One analysis of a document's text.
struct Checked {
    std::uint64_t revision = 0;    // of the document's text
    std::uint64_t generation = 0;  // of what else decides the result: settings, files on disk
    std::string workdir;
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

// A document as one request sees it: the current text, its syntax tree, and an analysis
// (of this text for hover and definition; possibly of an earlier text for completion,
// which needs only the declared names; none for symbols and formatting, which read the
// text alone).
struct Snapshot {
    std::string uri;
    std::optional<std::string> path;  // absolute; none for a document of no file
    std::shared_ptr<const SourceText> text;
    std::string workdir;
    std::shared_ptr<const Checked> checked;
    const ClientOptions* client = nullptr;
    // The text read by the syntax tree: the document's own from an earlier answer, or
    // built on first use. Only the worker uses a snapshot.
    mutable std::shared_ptr<const ParsedText> parsed;

    const ParsedText& document() const;
    // The URI of a file as a location names it (relative paths against the working
    // directory the analysis ran in).
    std::string uri_of(const std::optional<std::string>& file) const;
    std::optional<std::string> absolute(const std::optional<std::string>& file) const;
};

// Files read for one answer, each once: their texts and syntax trees, to place locations
// in them and to follow @import and @derive.
class Files {
  public:
    explicit Files(const Snapshot& snapshot) : snapshot_(snapshot) {}
    const Snapshot& snapshot() const { return snapshot_; }
    // The file a location names; the open document for its own path (or for none). Null
    // when it cannot be read.
    std::shared_ptr<const ParsedText> get(const std::optional<std::string>& file);
    // The file at an absolute path, read from disk unless it is the open document.
    std::shared_ptr<const ParsedText> read(const std::string& path);
    // A protocol Location for a library location.
    json location(const Location& where);
    json range(const Location& where);

  private:
    const Snapshot& snapshot_;
    std::map<std::string, std::shared_ptr<const ParsedText>> texts_;
};

// The piece of the open document at a protocol position, and the position's byte within
// the piece's text.
struct Cursor {
    Piece piece;
    std::size_t offset = 0;
    Role role() const { return piece.role; }
    std::string_view token() const { return piece.part.text; }
    Span span() const { return piece.part.span; }
};
Cursor cursor_at(const Snapshot& snapshot, Position position);

json range_json(const Range& range);
Position position_from_json(const json& position);  // throws on a malformed position
Range range_from_json(const json& range);           // throws on a malformed range

// The notification's params: every diagnostic of the analysis, placed in the document,
// for the document's `version` (an integer as the client sent it; none when null).
json diagnostics_params(const Snapshot& snapshot, const analysis::Analysis& analysis,
                        const json& version);
// One diagnostic as the client is sent it: placed in the open document, its hints appended
// to the message.
json diagnostic_json(const Snapshot& snapshot, const analysis::Diagnostic& d, Files& files);

// The quick fixes for the diagnostics of the analysis that touch `range`: one "Replace
// with ..." per hint, an edit of the hint's span. `only`: the kinds the client asked for
// (null for any).
json code_actions(const Snapshot& snapshot, const Range& range, const json* only);

json hover(const Snapshot& snapshot, Position position);
json definition(const Snapshot& snapshot, Position position);
// Writes the symbols of the document as its text declares them (see JsonOut).
ResultWriter document_symbols(const Snapshot& snapshot);
// May read the base file of a @derive: call with the working directory current.
json completion(const Snapshot& snapshot, Position position);
// The edits that lay the document out as `qern fmt` does. A text that cannot be laid out
// safely gets none, and `note` says why: it does not parse, or (`fault`, a fault of the
// formatter, to be shown to the user) its layout would not declare what it declares.
struct FormatAnswer {
    json edits = json::array();
    std::string note;
    bool fault = false;
};
FormatAnswer formatting(const Snapshot& snapshot);

}  // namespace qern::lsp
