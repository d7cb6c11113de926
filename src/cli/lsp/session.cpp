#include "cli/lsp/session.hpp"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>

namespace qern::cli::lsp {

namespace {

#ifdef QERN_VERSION
constexpr const char* kVersion = QERN_VERSION;
#else
constexpr const char* kVersion = "unknown";
#endif

// The member at `path` below `j`, or null where any step is missing or not an object.
const json* dig(const json& j, std::initializer_list<const char*> path) {
    const json* at = &j;
    for (const char* name : path) {
        if (!at->is_object()) return nullptr;
        const auto it = at->find(name);
        if (it == at->end()) return nullptr;
        at = &*it;
    }
    return at;
}

bool flag(const json& j, std::initializer_list<const char*> path) {
    const json* found = dig(j, path);
    return found != nullptr && found->is_boolean() && found->get<bool>();
}

bool valid_id(const json& id) {
    return id.is_string() || id.is_number_integer();
}

bool is_feature(const std::string& method) {
    return method == "textDocument/hover" || method == "textDocument/definition" ||
           method == "textDocument/documentSymbol" || method == "textDocument/completion";
}

std::string current_directory() {
    std::error_code ec;
    const auto cwd = std::filesystem::current_path(ec);
    return ec ? std::string("/") : cwd.string();
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool inside(const std::string& path, const std::string& folder) {
    if (folder == "/") return true;
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

}  // namespace

Session::Session(std::istream& in, std::ostream& out)
    : reader_(in), writer_(out), initial_directory_(current_directory()) {
    worker_directory_ = initial_directory_;
}

int Session::run() {
    worker_ = std::thread([this] { work(); });
    while (!exit_ && !client_gone_) {
        Incoming incoming = reader_.next();
        if (incoming.kind == Incoming::Kind::End) break;
        if (incoming.kind == Incoming::Kind::Malformed) {
            send(error_response(nullptr, kParseError, "unreadable message: " + incoming.problem));
            continue;
        }
        arrived_ = incoming.arrived;
        handle(std::move(incoming.body));
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    worker_.join();
    // As the protocol asks: 0 only when shutdown came before the end.
    return phase_ == Phase::ShutDown ? 0 : 1;
}

void Session::send(const json& message) {
    if (!writer_.send(message)) client_gone_ = true;
}

void Session::send_ordered(std::unique_lock<std::mutex>& lock, const json& message) {
    auto out = writer_.hold();
    lock.unlock();
    if (!writer_.send_held(message)) client_gone_ = true;
    out.unlock();
    lock.lock();
}

void Session::send_request(std::string_view method, json params) {
    const std::string id = "qern-" + std::to_string(++next_server_request_);
    server_requests_[id] = std::string(method);
    send(request(id, method, std::move(params)));
}

void Session::log(int type, const std::string& message) {
    send(notification("window/logMessage", {{"type", type}, {"message", "qern: " + message}}));
}

void Session::handle(std::string body) {
    json message = json::parse(body, nullptr, false);
    body.clear();
    if (message.is_discarded())
        return send(error_response(nullptr, kParseError, "the message is not valid JSON"));
    if (!message.is_object())
        return send(error_response(nullptr, kInvalidRequest, "a message must be a JSON object"));
    const auto id_it = message.find("id");
    const bool has_id = id_it != message.end();
    const json id = has_id && valid_id(*id_it) ? *id_it : json(nullptr);
    const auto method_it = message.find("method");
    const auto version = message.find("jsonrpc");
    const bool versioned = version != message.end() && *version == "2.0";
    if (has_id && !valid_id(*id_it))
        return send(
            error_response(nullptr, kInvalidRequest, "'id' must be a string or an integer"));
    if (method_it == message.end()) {
        if (has_id && (message.contains("result") || message.contains("error")))
            return handle_response(message);
        if (has_id) send(error_response(id, kInvalidRequest, "a request needs a 'method'"));
        return;  // neither request nor notification: nothing to answer to
    }
    if (!method_it->is_string() || !versioned) {
        if (has_id)
            send(error_response(
                id, kInvalidRequest,
                !versioned ? "'jsonrpc' must be \"2.0\"" : "'method' must be a string"));
        return;
    }
    const std::string method = method_it->get<std::string>();
    json params = json::object();
    if (auto p = message.find("params"); p != message.end()) params = std::move(*p);
    if (!has_id) {
        try {
            handle_notification(method, params);
        } catch (const std::exception& e) {
            // Notifications have no answer: say in the client's log what was ignored.
            log(1, "ignored " + method + ": " + e.what());
        }
        return;
    }
    try {
        handle_request(id, method, params);
    } catch (const RpcError& e) {
        send(error_response(id, e.code, e.what()));
    } catch (const std::exception& e) {
        send(error_response(id, kInternalError, e.what()));
    }
}

void Session::handle_request(const json& id, const std::string& method, json& params) {
    if (phase_ == Phase::Uninitialized && method != "initialize")
        throw RpcError(kServerNotInitialized, "the server is not initialized yet");
    if (phase_ == Phase::ShutDown)
        throw RpcError(kInvalidRequest, "the server is shut down: only 'exit' is accepted");
    if (method == "initialize") {
        if (phase_ != Phase::Uninitialized)
            throw RpcError(kInvalidRequest, "initialize was already received");
        json result = initialize(params);
        phase_ = Phase::Running;
        return send(response(id, std::move(result)));
    }
    if (method == "shutdown") {
        phase_ = Phase::ShutDown;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            checks_.clear();
        }
        return send(response(id, nullptr));
    }
    if (is_feature(method)) {
        // The shape is checked here, so that a malformed request is answered at once.
        document_uri(params);
        if (method != "textDocument/documentSymbol") position_from_json(member(params, "position"));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back({id, method, std::move(params)});
        }
        wake_.notify_all();
        return;
    }
    throw RpcError(kMethodNotFound, "unknown method '" + method + "'");
}

void Session::handle_notification(const std::string& method, json& params) {
    if (method == "exit") {
        exit_ = true;
        return;
    }
    // Before initialize and after shutdown, notifications are dropped.
    if (phase_ != Phase::Running) return;
    if (method == "initialized") return initialized();
    if (method == "textDocument/didOpen") return did_open(params);
    if (method == "textDocument/didChange") return did_change(params);
    if (method == "textDocument/didClose") return did_close(params);
    if (method == "textDocument/didSave") return did_save(params);
    if (method == "workspace/didChangeConfiguration") return did_change_configuration(params);
    if (method == "workspace/didChangeWorkspaceFolders") return did_change_folders(params);
    if (method == "workspace/didChangeWatchedFiles") {
        // A file that open documents may import changed on disk.
        std::lock_guard<std::mutex> lock(mutex_);
        ++generation_;
        recheck_all(debounce_);
        wake_.notify_all();
        return;
    }
    if (method == "$/cancelRequest") return cancel(params);
    // Any other notification, "$/" ones included, is ignored, as the protocol allows.
}

void Session::handle_response(const json& message) {
    const json& id = message["id"];
    if (!id.is_string()) return;
    const auto found = server_requests_.find(id.get<std::string>());
    if (found == server_requests_.end()) return;
    const std::string method = found->second;
    server_requests_.erase(found);
    const auto result = message.find("result");
    if (method != "workspace/configuration" || result == message.end()) return;
    if (!result->is_array() || result->empty() || !(*result)[0].is_object()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    apply_settings((*result)[0]);
    recheck_all(Clock::duration::zero());
    wake_.notify_all();
}

json Session::initialize(const json& params) {
    if (!params.is_object()) throw RpcError(kInvalidParams, "params must be an object");
    const json& caps = params.contains("capabilities") ? params["capabilities"] : json::object();
    // UTF-16 unless the client cannot count in it.
    std::string encoding = "utf-16";
    if (const json* offered = dig(caps, {"general", "positionEncodings"});
        offered != nullptr && offered->is_array() && !offered->empty()) {
        const auto has = [&](const char* e) {
            return std::find(offered->begin(), offered->end(), e) != offered->end();
        };
        if (!has("utf-16")) {
            if (has("utf-8"))
                encoding = "utf-8";
            else if (has("utf-32"))
                encoding = "utf-32";
        }
    }
    client_.encoding = encoding == "utf-8"    ? Encoding::Utf8
                       : encoding == "utf-32" ? Encoding::Utf32
                                              : Encoding::Utf16;
    if (const json* formats = dig(caps, {"textDocument", "hover", "contentFormat"});
        formats != nullptr && formats->is_array() && !formats->empty())
        client_.markdown =
            std::find(formats->begin(), formats->end(), "markdown") != formats->end();
    client_.snippets =
        flag(caps, {"textDocument", "completion", "completionItem", "snippetSupport"});
    if (const json* h =
            dig(caps, {"textDocument", "documentSymbol", "hierarchicalDocumentSymbolSupport"});
        h != nullptr && h->is_boolean())
        client_.hierarchical_symbols = h->get<bool>();
    pull_configuration_ = flag(caps, {"workspace", "configuration"});
    register_configuration_ =
        flag(caps, {"workspace", "didChangeConfiguration", "dynamicRegistration"});
    watch_files_ = flag(caps, {"workspace", "didChangeWatchedFiles", "dynamicRegistration"});

    std::lock_guard<std::mutex> lock(mutex_);
    if (const json* folders = dig(params, {"workspaceFolders"});
        folders != nullptr && folders->is_array()) {
        for (const json& f : *folders)
            if (const json* uri = dig(f, {"uri"}); uri != nullptr && uri->is_string())
                if (auto path = path_of_uri(uri->get<std::string>())) folders_.push_back(*path);
    }
    if (folders_.empty()) {
        if (const json* root = dig(params, {"rootUri"}); root != nullptr && root->is_string()) {
            if (auto path = path_of_uri(root->get<std::string>())) folders_.push_back(*path);
        } else if (const json* root_path = dig(params, {"rootPath"});
                   root_path != nullptr && root_path->is_string() &&
                   !root_path->get<std::string>().empty()) {
            folders_.push_back(absolute_path(root_path->get<std::string>(), initial_directory_));
        }
    }
    if (const json* options = dig(params, {"initializationOptions"});
        options != nullptr && options->is_object())
        apply_settings(*options);

    json capabilities = {
        {"positionEncoding", encoding},
        {"textDocumentSync",
         {{"openClose", true}, {"change", 1}, {"save", {{"includeText", false}}}}},
        {"hoverProvider", true},
        {"definitionProvider", true},
        {"documentSymbolProvider", true},
        {"completionProvider",
         {{"triggerCharacters", {"@", ":", "<"}}, {"resolveProvider", false}}},
        {"workspace", {{"workspaceFolders", {{"supported", true}, {"changeNotifications", true}}}}},
    };
    return json{{"capabilities", std::move(capabilities)},
                {"serverInfo", {{"name", "qern"}, {"version", kVersion}}}};
}

void Session::initialized() {
    if (pull_configuration_)
        send_request("workspace/configuration", {{"items", {{{"section", "qern"}}}}});
    json registrations = json::array();
    if (register_configuration_)
        registrations.push_back({{"id", "qern-configuration"},
                                 {"method", "workspace/didChangeConfiguration"},
                                 {"registerOptions", {{"section", "qern"}}}});
    if (watch_files_)
        registrations.push_back(
            {{"id", "qern-files"},
             {"method", "workspace/didChangeWatchedFiles"},
             {"registerOptions", {{"watchers", {{{"globPattern", "**/*.qrn"}}}}}}});
    if (!registrations.empty())
        send_request("client/registerCapability", {{"registrations", std::move(registrations)}});
}

void Session::apply_settings(const json& settings) {
    // Either {"qern": {...}} or the section itself.
    const json* section = &settings;
    if (const json* q = dig(settings, {"qern"}); q != nullptr && q->is_object()) section = q;
    bool changed = false;
    if (const json* strict = dig(*section, {"strict"}); strict != nullptr && strict->is_boolean()) {
        changed |= settings_.strict != strict->get<bool>();
        settings_.strict = strict->get<bool>();
    }
    if (const json* dir = dig(*section, {"workingDirectory"}); dir != nullptr) {
        const std::string value = dir->is_string() ? dir->get<std::string>() : std::string();
        changed |= settings_.working_directory != value;
        settings_.working_directory = value;
    }
    if (const json* ms = dig(*section, {"debounceMs"}); ms != nullptr && ms->is_number_unsigned())
        debounce_ =
            std::chrono::milliseconds(std::min<std::uint64_t>(ms->get<std::uint64_t>(), 10'000));
    if (changed) ++generation_;
}

void Session::did_change_configuration(const json& params) {
    if (const json* settings = dig(params, {"settings"});
        settings != nullptr && settings->is_object()) {
        std::lock_guard<std::mutex> lock(mutex_);
        apply_settings(*settings);
        recheck_all(Clock::duration::zero());
    }
    wake_.notify_all();
    // A client that is asked for its settings may send none here.
    if (pull_configuration_)
        send_request("workspace/configuration", {{"items", {{{"section", "qern"}}}}});
}

void Session::did_change_folders(const json& params) {
    const json& event = member(params, "event");
    std::lock_guard<std::mutex> lock(mutex_);
    if (const json* removed = dig(event, {"removed"}); removed != nullptr && removed->is_array())
        for (const json& f : *removed)
            if (const json* uri = dig(f, {"uri"}); uri != nullptr && uri->is_string())
                if (auto path = path_of_uri(uri->get<std::string>()))
                    folders_.erase(std::remove(folders_.begin(), folders_.end(), *path),
                                   folders_.end());
    if (const json* added = dig(event, {"added"}); added != nullptr && added->is_array())
        for (const json& f : *added)
            if (const json* uri = dig(f, {"uri"}); uri != nullptr && uri->is_string())
                if (auto path = path_of_uri(uri->get<std::string>())) folders_.push_back(*path);
    ++generation_;
    recheck_all(Clock::duration::zero());
    wake_.notify_all();
}

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

void Session::cancel(const json& params) {
    const json& id = member(params, "id");
    std::unique_lock<std::mutex> lock(mutex_);
    const auto queued =
        std::find_if(jobs_.begin(), jobs_.end(), [&](const Job& j) { return j.id == id; });
    if (queued != jobs_.end()) {
        jobs_.erase(queued);
        send_ordered(lock, error_response(id, kRequestCancelled, "the request was cancelled"));
        return;
    }
    if (running_ && *running_ == id) running_cancelled_ = true;
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

std::string Session::workdir_for(const Document& doc) const {
    // The workspace folder holding the file (the deepest, when folders nest), else the first.
    std::string folder;
    if (doc.path)
        for (const std::string& f : folders_)
            if (inside(*doc.path, f) && f.size() > folder.size()) folder = f;
    if (folder.empty() && !folders_.empty()) folder = folders_.front();
    const std::string fallback = doc.path ? directory_of(*doc.path) : initial_directory_;
    if (!settings_.working_directory.empty())
        return absolute_path(settings_.working_directory, folder.empty() ? fallback : folder);
    return folder.empty() ? fallback : folder;
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
