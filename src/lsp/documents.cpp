#include <algorithm>
#include <optional>
#include <string>

#include "lsp/session.hpp"

namespace qern::lsp {

namespace {

std::string place(const Position& p) {
    return std::to_string(p.line) + ":" + std::to_string(p.character);
}

}  // namespace

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
    d.version = version != nullptr && version->is_number_integer() ? *version : json(0);
    d.revision = ++revisions_;
    d.text = std::move(source);
    schedule(uri, Clock::duration::zero());
    wake_.notify_all();
}

void Session::did_change(json& params) {
    const std::string uri = document_uri(params);
    const json* version = optional_member(member(params, "textDocument"), "version");
    std::shared_ptr<const SourceText> current;
    bool out_of_step = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = documents_.find(uri);
        if (found == documents_.end()) throw RpcError(kInvalidParams, "document not open: " + uri);
        current = found->second.text;
        out_of_step = found->second.out_of_step;
    }
    // The changes apply in order, each to the text the one before left; the text is
    // copied once, at the first ranged change, and edited in place from there.
    std::optional<SourceText> edited;
    std::string problem;
    try {
        json& changes = member(params, "contentChanges");
        if (!changes.is_array())
            throw RpcError(kInvalidParams, "'contentChanges' must be an array");
        for (json& change : changes) {
            json& new_text = member(change, "text");
            if (!new_text.is_string()) throw RpcError(kInvalidParams, "'text' must be a string");
            const json* range = optional_member(change, "range");
            if (range == nullptr) {
                edited.emplace(std::move(new_text.get_ref<std::string&>()));
                out_of_step = false;
                continue;
            }
            if (out_of_step) continue;  // only a whole text can be applied now
            const Position start = position_from_json(member(*range, "start"));
            const Position end = position_from_json(member(*range, "end"));
            if (!edited) edited.emplace(*current);
            const auto begin_at = edited->exact_offset(start, client_.encoding);
            const auto end_at = edited->exact_offset(end, client_.encoding);
            if (!begin_at || !end_at) {
                problem = "the range " + place(start) + "-" + place(end) + " is not in the text";
                break;
            }
            if (*begin_at > *end_at) {
                problem = "the range " + place(start) + "-" + place(end) + " ends before it starts";
                break;
            }
            edited->replace(*begin_at, *end_at, new_text.get_ref<const std::string&>());
        }
    } catch (const RpcError& e) {
        problem = e.what();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const auto found = documents_.find(uri);
    if (found == documents_.end()) return;
    Document& d = found->second;
    if (version != nullptr && version->is_number_integer()) d.version = *version;
    if (!problem.empty()) {
        // The editor applied what could not be applied here: guessing would check a text
        // the user does not see. The document waits for a whole text instead.
        const bool was_in_step = !d.out_of_step;
        d.out_of_step = true;
        d.revision = ++revisions_;  // a check under way is dropped
        checks_.erase(uri);
        if (was_in_step)
            send_ordered(lock, notification("textDocument/publishDiagnostics",
                                            {{"uri", uri}, {"diagnostics", json::array()}}));
        lock.unlock();
        log(1, "a change to " + uri + " could not be applied (" + problem +
                   "): its text is no longer the editor's, and it is not checked until the "
                   "editor sends the whole text; reopen it");
        return;
    }
    if (!edited) return;
    d.out_of_step = out_of_step;
    d.revision = ++revisions_;
    d.text = std::make_shared<const SourceText>(std::move(*edited));
    d.parsed.reset();
    schedule(uri, debounce_);
    wake_.notify_all();
}

void Session::did_close(const json& params) {
    const std::string uri = document_uri(params);
    std::unique_lock<std::mutex> lock(mutex_);
    if (documents_.erase(uri) == 0) return;
    checks_.erase(uri);
    // What the document held is given back to the system once the worker is idle.
    trim_ = true;
    wake_.notify_all();
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
    s.parsed = doc.parsed;
    s.workdir = workdir_for(doc);
    s.checked = doc.checked;
    s.client = &client_;
    return s;
}

}  // namespace qern::lsp
