// The metrics plugin's input from outside: the documents and log lines other
// plugins (or the core) hand it, read within their length, and the requests
// its HTTP endpoint parses. Whatever is read must come out as well-formed
// exposition text: one sample or comment per line, label values escaped.
#include <boost/beast/http.hpp>
#include <cstdint>
#include <sstream>
#include <string_view>

#include "documents.h"
#include "exposition.h"
#include "fuzz_check.h"
#include "http_server.h"

namespace http = boost::beast::http;

namespace {

void checkExposition(const metrics::Snapshot &snapshot)
{
    const std::string text = metrics::formatExposition(snapshot);
    fuzzCheck(!text.empty() && text.back() == '\n', "exposition ends with a line feed");
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        const std::string_view line(text.data() + start, end - start);
        fuzzCheck(!line.empty(), "no empty line");
        fuzzCheck(line[0] == '#' || line.find(' ') != std::string_view::npos, "a sample has a value");
    }
}

void readDocuments(std::string_view text)
{
    metrics::Snapshot snapshot;
    snapshot.haveStatus = metrics::parseStatusDocument(text, snapshot.status);
    metrics::MemoryState memory;
    if (metrics::parseMemoryState(text, memory))
        snapshot.throttling = memory.throttling;
    if (metrics::parseQueueReport(text, snapshot.queue))
        snapshot.queueReports = 1;
    checkExposition(snapshot);
}

void answerRequest(std::string_view bytes)
{
    http::request_parser<http::string_body> parser;
    parser.header_limit(metrics::kRequestHeaderLimit);
    parser.body_limit(metrics::kRequestBodyLimit);
    parser.eager(true);
    boost::beast::error_code code;
    parser.put(boost::asio::buffer(bytes.data(), bytes.size()), code);
    if (code || !parser.is_done())
        return;
    const auto response = metrics::answer(parser.get(), [] { return std::string("x 1\n"); });
    fuzzCheck(response.result_int() == 200 || response.result_int() == 404 || response.result_int() == 405,
              "every request gets 200, 404 or 405");
    std::ostringstream wire;
    wire << response;
    fuzzCheck(!wire.str().empty(), "the answer serialises");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    readDocuments(bytes);
    answerRequest(bytes);
    return 0;
}
