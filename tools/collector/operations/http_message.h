#pragma once
// The text of HTTP/1.1 requests and responses, for HttpServer: a request
// head is read whole (at most kMaxRequestHead bytes) before it is answered.
#include <cstddef>
#include <string>

#include "operations/http_server.h"

namespace kr::collector {

constexpr std::size_t kMaxRequestHead = 8192;

enum class HeadState { incomplete, complete, bad };

// Looks for the end of a request head in `buffer`. On `complete`, fills
// `request` and `authorization` (the header's value, "" if absent); `status`
// gets the answer for a `bad` head (400, 405, 431 or 505).
HeadState parse_request_head(const std::string& buffer, HttpRequest& request, std::string& authorization,
                             int& status);

// The whole response, with Content-Length and Connection: close; no body for HEAD.
std::string format_response(const HttpResponse& response, bool head);

// A plain response for an error `status`.
HttpResponse error_response(int status);

}  // namespace kr::collector
