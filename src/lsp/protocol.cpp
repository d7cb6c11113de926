#include "lsp/protocol.hpp"

namespace qern::lsp {

json response(const json& id, json result) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

json error_response(const json& id, int code, std::string_view message) {
    return json{{"jsonrpc", "2.0"},
                {"id", id},
                {"error", json{{"code", code}, {"message", std::string(message)}}}};
}

json notification(std::string_view method, json params) {
    return json{{"jsonrpc", "2.0"}, {"method", std::string(method)}, {"params", std::move(params)}};
}

json request(const json& id, std::string_view method, json params) {
    return json{{"jsonrpc", "2.0"},
                {"id", id},
                {"method", std::string(method)},
                {"params", std::move(params)}};
}

const json& member(const json& object, std::string_view name) {
    if (const json* found = optional_member(object, name)) return *found;
    throw RpcError(kInvalidParams, "missing '" + std::string(name) + "'");
}

const json* optional_member(const json& object, std::string_view name) {
    if (!object.is_object()) throw RpcError(kInvalidParams, "params must be an object");
    const auto it = object.find(name);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string string_member(const json& object, std::string_view name) {
    const json& value = member(object, name);
    if (!value.is_string())
        throw RpcError(kInvalidParams, "'" + std::string(name) + "' must be a string");
    return value.get<std::string>();
}

std::int64_t integer_member(const json& object, std::string_view name) {
    const json& value = member(object, name);
    if (!value.is_number_integer())
        throw RpcError(kInvalidParams, "'" + std::string(name) + "' must be an integer");
    return value.get<std::int64_t>();
}

std::string document_uri(const json& params) {
    return string_member(member(params, "textDocument"), "uri");
}

}  // namespace qern::lsp
