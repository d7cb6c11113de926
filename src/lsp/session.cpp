#include "lsp/session.hpp"

#include <algorithm>
#include <filesystem>

namespace qern::lsp {

namespace {

bool valid_id(const json& id) {
    return id.is_string() || id.is_number_integer();
}

bool is_feature(const std::string& method) {
    return method == "textDocument/hover" || method == "textDocument/definition" ||
           method == "textDocument/documentSymbol" || method == "textDocument/completion" ||
           method == "textDocument/formatting" || method == "textDocument/codeAction";
}

bool at_position(const std::string& method) {
    return method != "textDocument/documentSymbol" && method != "textDocument/formatting" &&
           method != "textDocument/codeAction";
}

std::string current_directory() {
    std::error_code ec;
    const auto cwd = std::filesystem::current_path(ec);
    return ec ? std::string("/") : cwd.string();
}

}  // namespace

Session::Session(std::istream& in, std::ostream& out, bool finish_at_end)
    : reader_(in),
      writer_(out),
      finish_at_end_(finish_at_end),
      initial_directory_(current_directory()) {
    worker_directory_ = initial_directory_;
}

int Session::run() {
    worker_ = std::thread([this] { work(); });
    while (!exit_ && !client_gone_) {
        Incoming incoming = reader_.next();
        if (incoming.kind == Incoming::Kind::End) break;
        if (incoming.kind == Incoming::Kind::Malformed) {
            send(error_response(nullptr, kParseError, incoming.problem));
            continue;
        }
        arrived_ = incoming.arrived;
        handle(std::move(incoming.message));
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

void Session::send_result_ordered(std::unique_lock<std::mutex>& lock, const json& id,
                                  const ResultWriter& result) {
    auto out = writer_.hold();
    lock.unlock();
    if (!writer_.send_result_held(id, result)) client_gone_ = true;
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

void Session::handle(json message) {
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
        if (at_position(method)) position_from_json(member(params, "position"));
        if (method == "textDocument/codeAction") range_from_json(member(params, "range"));
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

}  // namespace qern::lsp
