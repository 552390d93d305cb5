#include "operations/http_server.h"
#include "operations/metrics.h"

namespace kr::collector {

struct MetricsServer::Impl {
    std::function<std::string()> render;
    HttpServer http;
};

MetricsServer::MetricsServer(std::function<std::string()> render) : impl_(std::make_unique<Impl>()) {
    impl_->render = std::move(render);
}

MetricsServer::~MetricsServer() {
    stop();
}

bool MetricsServer::start(const std::string& address, const std::string& password, std::string& error) {
    HttpServerOptions options;
    options.what = "metrics";
    options.address = address;
    options.password = password;
    return impl_->http.start(
        options,
        [this](const HttpRequest& request) {
            HttpResponse response;
            if (request.path != "/metrics") {
                response.status = 404;
                response.body = "Not Found\n";
                return response;
            }
            response.content_type = "text/plain; version=0.0.4; charset=utf-8";
            response.body = impl_->render();
            return response;
        },
        error);
}

std::string MetricsServer::url() const {
    return impl_->http.base_url() + "/metrics";
}

void MetricsServer::stop() {
    impl_->http.stop();
}

}  // namespace kr::collector
