#include "operations/http_message.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace kr::collector {

namespace {

bool equal_ignoring_case(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

const char* reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 431: return "Request Header Fields Too Large";
        case 505: return "HTTP Version Not Supported";
        default: return "Error";
    }
}

}  // namespace

HeadState parse_request_head(const std::string& buffer, HttpRequest& request, std::string& authorization,
                             int& status) {
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string::npos) {
        if (buffer.size() < kMaxRequestHead) {
            return HeadState::incomplete;
        }
        status = 431;
        return HeadState::bad;
    }
    if (end + 4 > kMaxRequestHead) {
        status = 431;
        return HeadState::bad;
    }
    std::size_t line_end = buffer.find("\r\n");
    const std::string line = buffer.substr(0, line_end);
    const std::size_t first_space = line.find(' ');
    const std::size_t second_space = first_space == std::string::npos ? first_space : line.find(' ', first_space + 1);
    status = 400;
    if (second_space == std::string::npos || line.find(' ', second_space + 1) != std::string::npos) {
        return HeadState::bad;
    }
    const std::string version = line.substr(second_space + 1);
    const std::string target = line.substr(first_space + 1, second_space - first_space - 1);
    if (version.compare(0, 5, "HTTP/") != 0 || target.empty() || target[0] != '/') {
        return HeadState::bad;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        status = 505;
        return HeadState::bad;
    }
    request.method = line.substr(0, first_space);
    if (request.method != "GET" && request.method != "HEAD") {
        status = 405;
        return HeadState::bad;
    }
    const std::size_t question = target.find('?');
    request.path = target.substr(0, question);
    request.query = question == std::string::npos ? "" : target.substr(question + 1);
    authorization.clear();
    while (line_end < end) {
        const std::size_t start = line_end + 2;
        line_end = buffer.find("\r\n", start);
        const std::string header = buffer.substr(start, line_end - start);
        const std::size_t colon = header.find(':');
        if (colon == std::string::npos || colon == 0) {
            return HeadState::bad;
        }
        if (equal_ignoring_case(header.substr(0, colon), "authorization")) {
            authorization = trimmed(header.substr(colon + 1));
        }
    }
    return HeadState::complete;
}

std::string format_response(const HttpResponse& response, bool head) {
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    out += "Content-Type: " + response.content_type + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += "Connection: close\r\n";
    for (const auto& [name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
    }
    out += "\r\n";
    if (!head) {
        out += response.body;
    }
    return out;
}

HttpResponse error_response(int status) {
    HttpResponse response;
    response.status = status;
    response.body = std::string(reason(status)) + "\n";
    return response;
}

bool authorized(const std::string& authorization, const std::string& password) {
    // Digests of equal length, compared whole: the time tells nothing about
    // the password's length or how much of it matched.
    unsigned char want[EVP_MAX_MD_SIZE];
    unsigned char got[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(password.data(), password.size(), want, &size, EVP_sha256(), nullptr) != 1) {
        return false;
    }
    std::string given;
    if (authorization.size() > 6 && equal_ignoring_case(authorization.substr(0, 6), "basic ")) {
        const std::string encoded = trimmed(authorization.substr(6));
        if (!encoded.empty() && encoded.size() % 4 == 0 && encoded.size() <= 4096) {
            std::vector<unsigned char> decoded(encoded.size() / 4 * 3 + 1);
            const int length = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(encoded.data()),
                                               static_cast<int>(encoded.size()));
            if (length >= 0) {
                // EVP_DecodeBlock counts the bytes that padding stands for.
                const std::size_t padding = static_cast<std::size_t>(std::count(encoded.end() - 2, encoded.end(), '='));
                const std::string pair(reinterpret_cast<const char*>(decoded.data()),
                                       static_cast<std::size_t>(length) - padding);
                const std::size_t colon = pair.find(':');
                if (colon != std::string::npos) {
                    given = pair.substr(colon + 1);
                }
            }
        }
    }
    return EVP_Digest(given.data(), given.size(), got, &size, EVP_sha256(), nullptr) == 1 &&
           CRYPTO_memcmp(want, got, size) == 0;
}

}  // namespace kr::collector
