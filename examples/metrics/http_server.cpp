#include "http_server.h"

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <optional>

#include "exposition.h"

namespace metrics {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

namespace {

constexpr int kMaxConnections = 8;
constexpr std::chrono::seconds kIdleTimeout(30);

}  // namespace

bool parseListenAddress(const std::string &text, tcp::endpoint &endpoint, std::string &error)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) {
        error = "expected host:port";
        return false;
    }
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    unsigned long number = 0;
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
        (number = std::stoul(port)) > 65535) {
        error = "the port is not a number from 0 to 65535";
        return false;
    }
    boost::system::error_code code;
    const asio::ip::address address = asio::ip::make_address(host, code);
    if (code) {
        error = "\"" + host + "\" is not a numeric IPv4 or IPv6 address";
        return false;
    }
    endpoint = tcp::endpoint(address, uint16_t(number));
    return true;
}

// What the server and its connections share; the connections may outlive
// the server until the io_context lets go of their handlers.
struct HttpServer::Shared {
    Exposition exposition;
    int connections = 0;
};

http::response<http::string_body> answer(const http::request<http::string_body> &request,
                                         const std::function<std::string()> &exposition)
{
    http::response<http::string_body> response;
    response.version(request.version());
    response.keep_alive(request.keep_alive());
    response.set(http::field::server, "dvrcore-metrics");
    const beast::string_view target = request.target();
    const beast::string_view path = target.substr(0, target.find('?'));
    const bool head = request.method() == http::verb::head;
    if (path != "/metrics") {
        response.result(http::status::not_found);
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = "Not found: the metrics are at /metrics\n";
    } else if (request.method() != http::verb::get && !head) {
        response.result(http::status::method_not_allowed);
        response.set(http::field::allow, "GET, HEAD");
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = "Method not allowed: use GET\n";
    } else {
        response.result(http::status::ok);
        response.set(http::field::content_type, kExpositionContentType);
        response.body() = exposition();
    }
    response.prepare_payload();
    if (head)
        response.body().clear();  // the length stays that of the full answer
    return response;
}

namespace {

// The answer to bytes that are no request: 431 or 413 past the limits, 400
// otherwise; the connection is closed after it.
http::response<http::string_body> refusal(beast::error_code code)
{
    http::response<http::string_body> response;
    response.result(code == http::error::header_limit ? http::status::request_header_fields_too_large
                    : code == http::error::body_limit ? http::status::payload_too_large
                                                      : http::status::bad_request);
    response.keep_alive(false);
    response.set(http::field::server, "dvrcore-metrics");
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = std::string(response.reason()) + "\n";
    response.prepare_payload();
    return response;
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, std::shared_ptr<HttpServer::Shared> shared)
        : stream(std::move(socket)), shared(std::move(shared))
    {
        ++this->shared->connections;
    }
    ~Connection() { --shared->connections; }

    void read()
    {
        parser.emplace();
        parser->header_limit(kRequestHeaderLimit);
        parser->body_limit(kRequestBodyLimit);
        stream.expires_after(kIdleTimeout);
        http::async_read(stream, buffer, *parser,
                         [self = shared_from_this()](beast::error_code code, size_t) {
                             self->onRead(code);
                         });
    }

private:
    void onRead(beast::error_code code)
    {
        if (code == http::error::end_of_stream || (code && code.category() != beast::error_code(http::error::end_of_stream).category()))
            return close();  // closed by the client, timed out, or a socket error
        if (code)
            response = refusal(code);  // a request Beast could not parse
        else
            response = answer(parser->get(), shared->exposition);
        stream.expires_after(kIdleTimeout);
        http::async_write(stream, response, [self = shared_from_this()](beast::error_code code, size_t) {
            if (code || !self->response.keep_alive())
                return self->close();
            self->read();
        });
    }

    void close()
    {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    }

    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> response;
    std::shared_ptr<HttpServer::Shared> shared;
};

}  // namespace

HttpServer::HttpServer(asio::io_context &io, Exposition exposition)
    : acceptor(io), pause(io), shared(std::make_shared<Shared>())
{
    shared->exposition = std::move(exposition);
}

HttpServer::~HttpServer()
{
    beast::error_code ignored;
    acceptor.close(ignored);
    pause.cancel();
}

bool HttpServer::listen(const tcp::endpoint &endpoint, std::string &error)
{
    beast::error_code code;
    acceptor.open(endpoint.protocol(), code);
    if (!code)
        acceptor.set_option(asio::socket_base::reuse_address(true), code);
    if (!code)
        acceptor.bind(endpoint, code);
    if (!code)
        acceptor.listen(asio::socket_base::max_listen_connections, code);
    if (code) {
        error = code.message();
        beast::error_code ignored;
        acceptor.close(ignored);
        return false;
    }
    accept();
    return true;
}

tcp::endpoint HttpServer::localEndpoint() const
{
    beast::error_code ignored;
    return acceptor.local_endpoint(ignored);
}

void HttpServer::accept()
{
    acceptor.async_accept([this, shared = shared](beast::error_code code, tcp::socket socket) {
        if (code == asio::error::operation_aborted)
            return;  // closed: `this` may be gone
        if (code) {
            // Out of descriptors, say: try again shortly rather than at once.
            pause.expires_after(std::chrono::milliseconds(100));
            pause.async_wait([this](beast::error_code code) {
                if (!code)
                    accept();
            });
            return;
        }
        if (shared->connections < kMaxConnections)
            std::make_shared<Connection>(std::move(socket), shared)->read();
        accept();
    });
}

}  // namespace metrics
