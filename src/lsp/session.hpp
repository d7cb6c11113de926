#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lsp/features.hpp"
#include "lsp/protocol.hpp"
#include "lsp/transport.hpp"

namespace qern::lsp {

// What the client's settings ask for ("qern.strict", "qern.workingDirectory").
struct Settings {
    bool strict = false;
    std::string working_directory;  // empty: the workspace folder or the file's directory
};

struct Document {
    std::string uri;
    std::optional<std::string> path;  // absolute, for a file: URI
    // As the client sent it, so that any integer is echoed exactly.
    json version = 0;
    std::uint64_t revision = 0;  // ours: every change gets a new one
    std::shared_ptr<const SourceText> text;
    std::shared_ptr<const ParsedText> parsed;  // of `text`, once an answer has read it
    std::shared_ptr<const Checked> checked;    // the latest analysis, maybe of an older text
    // A change could not be applied: the text is no longer the editor's, and the document
    // is neither checked nor answered for until a change sends the whole text.
    bool out_of_step = false;
    // The revision and generation whose diagnostics the client has.
    std::uint64_t published = 0;
    std::uint64_t published_generation = 0;
};

// A request that waits for the worker.
struct Job {
    json id;
    std::string method;
    json params;
};

// The result of a request: a JSON value, or, for one that may be large, a writer of it.
struct Answer {
    json value;
    ResultWriter streamed;
};

// One client connection. As clangd does it: the thread that calls run() reads the
// protocol and keeps the state; one worker thread does every analysis and every file
// read. A change never waits for a check: checks are debounced, at most one runs at a
// time, only the latest text of a document is queued, and results of a text that changed
// meanwhile are dropped.
class Session {
  public:
    // With `finish_at_end`, the end of the input still lets the worker answer the requests
    // and run the checks already received, which a fuzz target needs to see; an editor
    // that went away wants none of it.
    Session(std::istream& in, std::ostream& out, bool finish_at_end = false);
    // Serves until exit or the end of the input; the process's exit status.
    int run();
    // Whether the client said `exit` (rather than ending its input).
    bool exited() const { return exit_; }

  private:
    using Clock = std::chrono::steady_clock;
    enum class Phase { Uninitialized, Running, ShutDown };

    // Reader thread.
    void handle(json message);
    void handle_request(const json& id, const std::string& method, json& params);
    void handle_notification(const std::string& method, json& params);
    void handle_response(const json& message);
    json initialize(const json& params);
    void initialized();
    void did_open(json& params);
    void did_change(json& params);
    void did_close(const json& params);
    void did_save(const json& params);
    void did_change_configuration(const json& params);
    void did_change_folders(const json& params);
    void cancel(const json& params);
    void apply_settings(const json& settings);
    void send(const json& message);
    void send_request(std::string_view method, json params);
    void log(int type, const std::string& message);

    // Either thread, with mutex_ held.
    // Due `delay` after the message being handled arrived.
    void schedule(const std::string& uri, Clock::duration delay);
    void recheck_all(Clock::duration delay);
    std::string workdir_for(const Document& doc) const;
    Snapshot snapshot_of(const Document& doc) const;
    // Sends `message` after releasing `lock`, so that it still goes out before anything
    // a later holder of the lock sends.
    void send_ordered(std::unique_lock<std::mutex>& lock, const json& message);
    void send_result_ordered(std::unique_lock<std::mutex>& lock, const json& id,
                             const ResultWriter& result);
    // Keeps the syntax tree a snapshot read, for the next answer, while the document
    // still has that text.
    void keep_parsed(const Snapshot& snapshot);

    // Worker thread.
    void work();
    void run_check(const std::string& uri, std::unique_lock<std::mutex>& lock);
    void run_request(Job& job);
    Answer answer(const Job& job);
    std::shared_ptr<const Checked> analyze(const Snapshot& snapshot, std::uint64_t revision,
                                           std::uint64_t generation, bool strict);
    void enter_directory(const std::string& dir);
    // Keeps `checked` and publishes its diagnostics (`params`) if the document is still at
    // that text and nothing else changed meanwhile; a stale result is dropped.
    void publish_if_current(const std::string& uri, const std::shared_ptr<const Checked>& checked,
                            json params, std::unique_lock<std::mutex>& lock);

    MessageReader reader_;
    MessageWriter writer_;
    Clock::time_point arrived_;  // of the message being handled
    std::atomic<bool> client_gone_{false};
    bool exit_ = false;
    Phase phase_ = Phase::Uninitialized;
    ClientOptions client_;  // set by initialize, before any work
    bool pull_configuration_ = false;
    bool register_configuration_ = false;
    bool watch_files_ = false;
    std::uint64_t next_server_request_ = 0;
    std::map<std::string, std::string> server_requests_;  // our request id -> method

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    const bool finish_at_end_;
    bool trim_ = false;  // a document was closed: memory goes back when the worker is idle
    std::map<std::string, Document> documents_;
    std::deque<Job> jobs_;
    std::map<std::string, Clock::time_point> checks_;  // uri -> when its check is due
    std::optional<json> running_;                      // the request the worker is on
    bool running_cancelled_ = false;
    Settings settings_;
    // Bumped when something besides a document's text changes what its analysis says: the
    // settings, the workspace folders, files on disk (a save, a watched file).
    std::uint64_t generation_ = 1;
    std::vector<std::string> folders_;
    Clock::duration debounce_ = std::chrono::milliseconds(50);
    std::uint64_t revisions_ = 0;
    std::string initial_directory_;

    // Worker thread only.
    std::string worker_directory_;
    std::set<std::string> reported_directories_;  // bounded: see enter_directory
    bool reported_more_directories_ = false;
    std::thread worker_;
};

}  // namespace qern::lsp
