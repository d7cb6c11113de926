#include <algorithm>

#include "lsp/session.hpp"

namespace qern::lsp {

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
         {{"openClose", true}, {"change", 2}, {"save", {{"includeText", false}}}}},
        {"hoverProvider", true},
        {"definitionProvider", true},
        {"documentSymbolProvider", true},
        {"documentFormattingProvider", true},
        {"codeActionProvider", {{"codeActionKinds", {"quickfix"}}}},
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

std::string Session::workdir_for(const Document& doc) const {
    // The workspace folder holding the file (the deepest, when folders nest). A file in
    // none of them is read where it lies; a buffer that is no file yet, in the first folder.
    std::string folder;
    if (doc.path)
        for (const std::string& f : folders_)
            if (inside(*doc.path, f) && f.size() > folder.size()) folder = f;
    if (folder.empty() && !doc.path && !folders_.empty()) folder = folders_.front();
    const std::string fallback = doc.path ? directory_of(*doc.path) : initial_directory_;
    if (!settings_.working_directory.empty())
        return absolute_path(settings_.working_directory, folder.empty() ? fallback : folder);
    return folder.empty() ? fallback : folder;
}

}  // namespace qern::lsp
