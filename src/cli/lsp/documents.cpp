#include <algorithm>

#include "cli/lsp/session.hpp"

namespace qern::cli::lsp {

void Session::did_open(json& params) {
    json& doc = member(params, "textDocument");
    const std::string uri = string_member(doc, "uri");
    json& text = member(doc, "text");
    if (!text.is_string()) throw RpcError(kInvalidParams, "'text' must be a string");
    const json* version = optional_member(doc, "version");
    auto source = std::make_shared<const SourceText>(std::move(text.get_ref<std::string&>()));
    std::lock_guard<std::mutex> lock(mutex_);
    Document& d = documents_[uri];
    d = Document{};
    d.uri = uri;
    d.path = path_of_uri(uri);
    d.version =
        version != nullptr && version->is_number_integer() ? version->get<std::int64_t>() : 0;
    d.revision = ++revisions_;
    d.text = std::move(source);
    schedule(uri, Clock::duration::zero());
    wake_.notify_all();
}

void Session::did_change(json& params) {
    const std::string uri = document_uri(params);
    json& changes = member(params, "contentChanges");
    if (!changes.is_array()) throw RpcError(kInvalidParams, "'contentChanges' must be an array");
    const json* version = optional_member(member(params, "textDocument"), "version");
    std::shared_ptr<const SourceText> text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = documents_.find(uri);
        if (found == documents_.end()) throw RpcError(kInvalidParams, "document not open: " + uri);
        text = found->second.text;
    }
    // Full sync sends the whole text; a ranged change is applied all the same.
    std::string updated;
    bool have_updated = false;
    for (json& change : changes) {
        json& new_text = member(change, "text");
        if (!new_text.is_string()) throw RpcError(kInvalidParams, "'text' must be a string");
        const json* range = optional_member(change, "range");
        if (range == nullptr) {
            updated = std::move(new_text.get_ref<std::string&>());
        } else {
            const SourceText current(have_updated ? std::move(updated) : text->text());
            const std::size_t begin =
                current.offset_of(position_from_json(member(*range, "start")), client_.encoding);
            const std::size_t end = std::max(
                begin,
                current.offset_of(position_from_json(member(*range, "end")), client_.encoding));
            updated = current.text();
            updated.replace(begin, end - begin, new_text.get<std::string>());
        }
        have_updated = true;
    }
    if (!have_updated) return;
    auto source = std::make_shared<const SourceText>(std::move(updated));
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = documents_.find(uri);
    if (found == documents_.end()) return;
    Document& d = found->second;
    if (version != nullptr && version->is_number_integer())
        d.version = version->get<std::int64_t>();
    d.revision = ++revisions_;
    d.text = std::move(source);
    schedule(uri, debounce_);
    wake_.notify_all();
}

void Session::did_close(const json& params) {
    const std::string uri = document_uri(params);
    std::unique_lock<std::mutex> lock(mutex_);
    if (documents_.erase(uri) == 0) return;
    checks_.erase(uri);
    // Under the lock, so that no diagnostics of the worker can follow the clearing ones.
    send_ordered(lock, notification("textDocument/publishDiagnostics",
                                    {{"uri", uri}, {"diagnostics", json::array()}}));
}

void Session::did_save(const json& params) {
    const std::string uri = document_uri(params);
    std::lock_guard<std::mutex> lock(mutex_);
    // Other documents may import the saved file: their checks read it from disk.
    ++generation_;
    recheck_all(debounce_);
    if (documents_.count(uri) != 0) schedule(uri, Clock::duration::zero());
    wake_.notify_all();
}

void Session::schedule(const std::string& uri, Clock::duration delay) {
    const Clock::time_point due = arrived_ + delay;
    const auto [it, inserted] = checks_.emplace(uri, due);
    // A later change moves the check out to its own debounce; an immediate one wins.
    if (!inserted) it->second = delay == Clock::duration::zero() ? std::min(it->second, due) : due;
}

void Session::recheck_all(Clock::duration delay) {
    for (const auto& entry : documents_) schedule(entry.first, delay);
}

Snapshot Session::snapshot_of(const Document& doc) const {
    Snapshot s;
    s.uri = doc.uri;
    s.path = doc.path;
    s.text = doc.text;
    s.workdir = workdir_for(doc);
    s.checked = doc.checked;
    s.client = &client_;
    return s;
}

}  // namespace qern::cli::lsp
