// Any bytes a client sends as the head of an HTTP request to the metrics
// endpoint or the live page: the parser reads nothing outside them, and what
// it accepts is a GET or HEAD of an absolute path. Basic authentication
// passes a user:password pair exactly when its password is the one asked
// for, whatever bytes either holds.
#include <fuzzer/FuzzedDataProvider.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "operations/http_message.h"

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "http request fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kr::collector;
    FuzzedDataProvider input(data, size);
    std::string user = input.ConsumeRandomLengthString(32);
    user.erase(std::remove(user.begin(), user.end(), ':'), user.end());
    const std::string given = input.ConsumeRandomLengthString(64);
    const std::string password = input.ConsumeRandomLengthString(64);
    const std::string pair = user + ":" + given;
    std::string encoded(4 * ((pair.size() + 2) / 3) + 1, '\0');
    encoded.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                                            reinterpret_cast<const unsigned char*>(pair.data()),
                                                            static_cast<int>(pair.size()))));
    check(authorized("Basic " + encoded, password) == (given == password), "a password judged wrongly");

    const std::string head = input.ConsumeRemainingBytesAsString();
    HttpRequest request;
    std::string authorization;
    int status = 0;
    const HeadState state = parse_request_head(head, request, authorization, status);
    if (state == HeadState::complete) {
        check(request.method == "GET" || request.method == "HEAD", "a method other than GET or HEAD accepted");
        check(!request.path.empty() && request.path[0] == '/', "a path that is not absolute accepted");
        check(request.path.find('?') == std::string::npos, "the query left in the path");
    } else if (state == HeadState::bad) {
        check(status == 400 || status == 405 || status == 431 || status == 505, "an unexpected error status");
    } else {
        check(head.size() < kMaxRequestHead, "an over-long head still incomplete");
    }
    return 0;
}
