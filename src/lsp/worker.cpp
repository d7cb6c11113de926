#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "lsp/session.hpp"
#include "qern/file.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace qern::lsp {

namespace {

// Working directories that cannot be used are reported one by one up to this many; a
// session that meets more says so once.
constexpr std::size_t kReportedDirectories = 16;

// The allocator keeps what a check frees, for the next check to reuse (see server.cpp).
// Once a document is closed, that memory has no next use: it goes back to the system.
void give_back_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace

void Session::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_ && (!finish_at_end_ || (jobs_.empty() && checks_.empty()))) return;
        // Requests first: someone waits for them. Then the check that is due first.
        if (!jobs_.empty()) {
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            running_ = job.id;
            running_cancelled_ = false;
            lock.unlock();
            run_request(job);
            lock.lock();
            running_.reset();
            continue;
        }
        const auto next =
            std::min_element(checks_.begin(), checks_.end(),
                             [](const auto& a, const auto& b) { return a.second < b.second; });
        if (next == checks_.end()) {
            if (trim_) {
                trim_ = false;
                lock.unlock();
                give_back_memory();
                lock.lock();
                continue;
            }
            wake_.wait(lock);
            continue;
        }
        if (const Clock::time_point due = next->second; due > Clock::now() && !stopping_) {
            // A copy: while this waits, the reader may drop or move the entry.
            wake_.wait_until(lock, due);
            continue;
        }
        const std::string uri = next->first;
        checks_.erase(next);
        run_check(uri, lock);
    }
}

void Session::run_check(const std::string& uri, std::unique_lock<std::mutex>& lock) {
    const auto found = documents_.find(uri);
    if (found == documents_.end()) return;
    const Document& d = found->second;
    if (d.out_of_step) return;
    const std::uint64_t generation = generation_;
    if (d.checked && d.checked->revision == d.revision && d.checked->generation == generation &&
        d.published == d.revision && d.published_generation == generation)
        return;  // a request's analysis already answered for this text
    Snapshot snapshot = snapshot_of(d);
    const std::uint64_t revision = d.revision;
    const json version = d.version;
    const bool strict = settings_.strict;
    lock.unlock();
    std::shared_ptr<const Checked> checked;
    json params;
    try {
        checked = analyze(snapshot, revision, generation, strict);
        snapshot.checked = checked;
        params = diagnostics_params(snapshot, checked->analysis, version);
    } catch (const std::exception& e) {
        // Out of memory on a huge text, say: the document keeps its last diagnostics.
        log(1, "checking " + uri + " failed: " + e.what());
        lock.lock();
        return;
    }
    lock.lock();
    keep_parsed(snapshot);
    publish_if_current(uri, checked, std::move(params), lock);
}

void Session::keep_parsed(const Snapshot& snapshot) {
    if (snapshot.parsed == nullptr) return;
    const auto found = documents_.find(snapshot.uri);
    if (found != documents_.end() && found->second.text == snapshot.parsed->source())
        found->second.parsed = snapshot.parsed;
}

void Session::publish_if_current(const std::string& uri,
                                 const std::shared_ptr<const Checked>& checked, json params,
                                 std::unique_lock<std::mutex>& lock) {
    const auto found = documents_.find(uri);
    if (found == documents_.end() || found->second.revision != checked->revision ||
        checked->generation != generation_)
        return;
    Document& d = found->second;
    d.checked = checked;
    if (d.published == checked->revision && d.published_generation == checked->generation) return;
    d.published = checked->revision;
    d.published_generation = checked->generation;
    send_ordered(lock, notification("textDocument/publishDiagnostics", std::move(params)));
}

void Session::run_request(Job& job) {
    json reply;
    ResultWriter streamed;
    try {
        Answer answered = answer(job);
        if (answered.streamed)
            streamed = std::move(answered.streamed);
        else
            reply = response(job.id, std::move(answered.value));
    } catch (const RpcError& e) {
        reply = error_response(job.id, e.code, e.what());
    } catch (const std::exception& e) {
        reply = error_response(job.id, kInternalError, e.what());
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (running_cancelled_) {
        streamed = nullptr;
        reply = error_response(job.id, kRequestCancelled, "the request was cancelled");
    }
    if (streamed)
        send_result_ordered(lock, job.id, streamed);
    else
        send_ordered(lock, reply);
}

Answer Session::answer(const Job& job) {
    const std::string uri = document_uri(job.params);
    const std::string& method = job.method;
    // Symbols and formatting read the text alone; completion needs only the declared
    // names, which an analysis of an earlier text gives well enough; hover, definition and
    // the quick fixes place what the merge holds in this very text.
    const bool text_only =
        method == "textDocument/documentSymbol" || method == "textDocument/formatting";
    const bool completing = method == "textDocument/completion";
    const bool fixing = method == "textDocument/codeAction";
    const Position position =
        text_only || fixing ? Position{} : position_from_json(member(job.params, "position"));
    std::unique_lock<std::mutex> lock(mutex_);
    const auto found = documents_.find(uri);
    if (found == documents_.end()) throw RpcError(kInvalidParams, "document not open: " + uri);
    if (found->second.out_of_step)
        throw RpcError(kContentModified,
                       "the document's text is out of step with the editor's: reopen it");
    Snapshot snapshot = snapshot_of(found->second);
    const std::uint64_t revision = found->second.revision;
    const json version = found->second.version;
    const std::uint64_t generation = generation_;
    const bool strict = settings_.strict;
    const auto& c = snapshot.checked;
    const bool current = c != nullptr && c->revision == revision && c->generation == generation;
    if (!text_only && !(completing ? c != nullptr : current)) {
        lock.unlock();
        auto checked = analyze(snapshot, revision, generation, strict);
        snapshot.checked = checked;
        json params = diagnostics_params(snapshot, checked->analysis, version);
        lock.lock();
        publish_if_current(uri, checked, std::move(params), lock);
    }
    lock.unlock();
    Answer out;
    if (method == "textDocument/documentSymbol") {
        out.streamed = document_symbols(snapshot);
    } else if (method == "textDocument/formatting") {
        FormatAnswer formatted = formatting(snapshot);
        out.value = std::move(formatted.edits);
        if (formatted.fault)
            send(notification("window/showMessage",
                              {{"type", 1}, {"message", "qern: " + formatted.note}}));
        if (!formatted.note.empty()) log(formatted.fault ? 1 : 3, formatted.note);
    } else if (method == "textDocument/hover") {
        out.value = hover(snapshot, position);
    } else if (method == "textDocument/definition") {
        out.value = definition(snapshot, position);
    } else if (fixing) {
        const json* context = optional_member(job.params, "context");
        const json* only = context != nullptr && context->is_object()
                               ? optional_member(*context, "only")
                               : nullptr;
        out.value = code_actions(snapshot, range_from_json(member(job.params, "range")), only);
    } else {
        enter_directory(snapshot.workdir);  // a @derive's base file is read from there
        out.value = completion(snapshot, position);
    }
    lock.lock();
    keep_parsed(snapshot);
    return out;
}

std::shared_ptr<const Checked> Session::analyze(const Snapshot& snapshot, std::uint64_t revision,
                                                std::uint64_t generation, bool strict) {
    // The library resolves relative @import and @derive paths against the process's
    // working directory, and a document's working directory is a setting: so the one
    // thread that reads files moves there first.
    enter_directory(snapshot.workdir);
    return std::make_shared<const Checked>(Checked{
        revision, generation, snapshot.workdir,
        analysis::analyze_text(snapshot.text->text(), snapshot.path, analysis::Options{strict})});
}

void Session::enter_directory(const std::string& dir) {
    if (dir == worker_directory_) return;
    if (::chdir(dir.c_str()) == 0) {
        worker_directory_ = dir;
        reported_directories_.erase(dir);  // reported again should it fail again
        return;
    }
    const int error = errno;
    if (reported_directories_.count(dir) != 0) return;
    if (reported_directories_.size() < kReportedDirectories) {
        reported_directories_.insert(dir);
        log(2, "cannot use the working directory '" + dir + "' (" + os_error_text(error) +
                   "): relative paths resolve against '" + worker_directory_ + "'");
    } else if (!reported_more_directories_) {
        reported_more_directories_ = true;
        log(2, "more working directories cannot be used; they are not reported one by one");
    }
}

}  // namespace qern::lsp
