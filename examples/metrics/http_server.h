// The metrics endpoint: an HTTP/1.1 server on one address, run by the
// plugin's io_context on the plugin's own thread. Beast parses the requests.
//
//   GET or HEAD /metrics   200, the exposition text (query strings ignored)
//   any other method       405 with "Allow: GET, HEAD"
//   any other path         404
//   bytes that are no request  400 (431, 413 past the limits), then closed
//
// Connections are kept alive; a connection idle for 30 s, a request header
// past 8 KiB or a body past 4 KiB closes it, and at most 8 connections are
// served at once (more are closed as they are accepted).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <functional>
#include <memory>
#include <string>

namespace metrics {

// "host:port" or "[host]:port" with a numeric IPv4 or IPv6 address. False,
// with the reason in `error`, for anything else.
bool parseListenAddress(const std::string &text, boost::asio::ip::tcp::endpoint &endpoint,
                        std::string &error);

// What one connection may send: a request header and body of at most these.
constexpr uint32_t kRequestHeaderLimit = 8192;
constexpr uint64_t kRequestBodyLimit = 4096;

// The answer to one parsed request, `exposition` giving the text of /metrics.
boost::beast::http::response<boost::beast::http::string_body> answer(
    const boost::beast::http::request<boost::beast::http::string_body> &request,
    const std::function<std::string()> &exposition);

class HttpServer {
public:
    // Called for every GET of /metrics, on the io_context's thread.
    using Exposition = std::function<std::string()>;

    HttpServer(boost::asio::io_context &io, Exposition exposition);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds to exactly `endpoint` and starts accepting. False, with the
    // reason in `error` (the address in use, for one), and nothing bound.
    bool listen(const boost::asio::ip::tcp::endpoint &endpoint, std::string &error);
    // The bound address (its port when listen was given port 0).
    boost::asio::ip::tcp::endpoint localEndpoint() const;

    // What the server shares with its connections (defined in the source).
    struct Shared;

private:
    void accept();

    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer pause;  // between failed accepts
    std::shared_ptr<Shared> shared;
};

}  // namespace metrics
