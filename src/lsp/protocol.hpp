#pragma once

#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qern::lsp {

using nlohmann::json;

// JSON-RPC and LSP error codes.
enum ErrorCode : int {
    kParseError = -32700,
    kInvalidRequest = -32600,
    kMethodNotFound = -32601,
    kInvalidParams = -32602,
    kInternalError = -32603,
    kServerNotInitialized = -32002,
    kRequestCancelled = -32800,
    kContentModified = -32801,
};

// A request that must be answered with an error.
struct RpcError : std::runtime_error {
    RpcError(int code, const std::string& message) : std::runtime_error(message), code(code) {}
    int code;
};

json response(const json& id, json result);
json error_response(const json& id, int code, std::string_view message);
json notification(std::string_view method, json params);
json request(const json& id, std::string_view method, json params);

// Typed access to params: a missing member or one of the wrong type is InvalidParams.
const json& member(const json& object, std::string_view name);
inline json& member(json& object, std::string_view name) {
    return const_cast<json&>(member(static_cast<const json&>(object), name));
}
const json* optional_member(const json& object, std::string_view name);  // null if absent
std::string string_member(const json& object, std::string_view name);
std::int64_t integer_member(const json& object, std::string_view name);
// The `textDocument.uri` of a request's params.
std::string document_uri(const json& params);

}  // namespace qern::lsp
