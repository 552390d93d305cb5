#include "tests/support/chdb_session.h"

#include <dlfcn.h>

#include <cstring>

namespace kr::collector::test {

namespace {

// The C API's handles, as its header declares them: both hold one pointer.
struct Result {
    void* internal_data;
};
struct Connection {
    void* internal_data;
};
using ConnectFn = Connection** (*)(int, char**);
using CloseFn = void (*)(Connection**);
using QueryFn = Result* (*)(Connection*, const char*, std::size_t, const char*, std::size_t);
using BufferFn = char* (*)(Result*);
using LengthFn = std::size_t (*)(Result*);
using ErrorFn = const char* (*)(Result*);
using DestroyFn = void (*)(Result*);

template <typename Fn>
Fn symbol(void* library, const char* name) {
    return reinterpret_cast<Fn>(dlsym(library, name));
}

}  // namespace

ChdbSession::ChdbSession(const std::string& library, const std::string& dir) {
    library_ = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        error_ = std::string("cannot load ") + library + ": " + dlerror();
        return;
    }
    std::string path = "--path=" + dir;
    char program[] = "chdb";
    char* argv[] = {program, path.data()};
    Connection** connection = symbol<ConnectFn>(library_, "chdb_connect")(2, argv);
    if (connection == nullptr) {
        error_ = "chdb_connect failed for " + dir;
        return;
    }
    connection_ = connection;
}

ChdbSession::~ChdbSession() {
    if (connection_ != nullptr) {
        symbol<CloseFn>(library_, "chdb_close_conn")(static_cast<Connection**>(connection_));
    }
    // The library stays loaded: it leaves threads and handlers behind.
}

std::string ChdbSession::query(const std::string& sql) {
    static const char kFormat[] = "TabSeparated";
    Result* result = symbol<QueryFn>(library_, "chdb_query_n")(*static_cast<Connection**>(connection_), sql.data(),
                                                              sql.size(), kFormat, std::strlen(kFormat));
    if (result == nullptr) {
        return "ERROR: no result";
    }
    std::string answer;
    if (const char* error = symbol<ErrorFn>(library_, "chdb_result_error")(result)) {
        answer = std::string("ERROR: ") + error;
    } else if (const char* data = symbol<BufferFn>(library_, "chdb_result_buffer")(result)) {
        answer.assign(data, symbol<LengthFn>(library_, "chdb_result_length")(result));
        if (!answer.empty() && answer.back() == '\n') {
            answer.pop_back();
        }
    }
    symbol<DestroyFn>(library_, "chdb_destroy_query_result")(result);
    return answer;
}

}  // namespace kr::collector::test
