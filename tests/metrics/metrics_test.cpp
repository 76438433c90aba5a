// The metrics plugin's parts: the exposition text, the documents it reads,
// and the HTTP answers of its endpoint through a real socket.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <atomic>
#include <map>
#include <thread>

#include "documents.h"
#include "exposition.h"
#include "http_server.h"
#include "plugin/dvrplugin.h"

namespace {

using namespace metrics;

// The core's status document as plugins receive it: compact, with a failed
// file listed twice, the parent, and a file name that needs escaping.
const char kStatus[] =
    "<?xml ?><Qarn Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\"/>"
    "<Modules TotalLoadTimeMs=\"12\" TotalOpenTimeMs=\"3\">"
    "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"22.03.4.0\">"
    "<Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
    "OpenCode=\"0\" LogLevel=\"25\" LogLevelDefault=\"25\"/>"
    "<Plugin ID=\"5242880\" Filename=\"cam&quot;era.so\" Opened=\"1\" LoadTimeMs=\"12\" "
    "OpenTimeMs=\"3\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"
    "<Library Name=\"tornel\" Filename=\"dvrparent\" Version=\"1.0\"/>"
    "<Plugin ID=\"1\" Filename=\"bad.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
    "OpenCode=\"79\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/></Module>"
    "<Module ID=\"1\" Name=\"bad.so\" Version=\"bad.so: invalid ELF header\"/></Modules>"
    "<Product Family=\"Quorvantile\" Version=\"22.03.4.0\"/></Qarn>";

TEST(MetricsExposition, FixedCountersGiveExactText)
{
    Counters counters;
    counters.events.add(0x00500000u, DVR_EVENT_VIDEO_FRAME, 25, 81920);
    counters.events.add(0x80000000u, DVR_EVENT_LOG, 1, 40);
    counters.frames.add(0x00500000u, 0, 1, 24);
    counters.logs.add(0x80000000u, 25, 1, 0);
    counters.throttling = 0;
    counters.throttlingTime = 1765000000;
    counters.addQueueReport({2, 7, 0, 1500, 3, 24576});
    Snapshot snapshot = takeSnapshot(counters);
    snapshot.haveStatus = parseStatusDocument(kStatus, snapshot.status);
    ASSERT_TRUE(snapshot.haveStatus);

    EXPECT_EQ(formatExposition(snapshot), R"(# HELP dvr_core_info The core's version and product family.
# TYPE dvr_core_info gauge
dvr_core_info{product="Quorvantile",version="22.03.4.0"} 1
# HELP dvr_memory_throttling_enabled 1 when the core watches its memory and throttles frames.
# TYPE dvr_memory_throttling_enabled gauge
dvr_memory_throttling_enabled 1
# HELP dvr_parent_info The parent program that runs the core.
# TYPE dvr_parent_info gauge
dvr_parent_info{file="dvrparent",version="1.0"} 1
# HELP dvr_plugin_loaded Plugins the core loaded, by ID and file name.
# TYPE dvr_plugin_loaded gauge
dvr_plugin_loaded{id="0x00500000",file="cam\"era.so"} 1
# HELP dvr_plugin_load_failed Plugin files the core could not load, with its reason.
# TYPE dvr_plugin_load_failed gauge
dvr_plugin_load_failed{file="bad.so",error="bad.so: invalid ELF header"} 1
# HELP dvr_plugin_load_duration_seconds How long each plugin's Load took.
# TYPE dvr_plugin_load_duration_seconds gauge
dvr_plugin_load_duration_seconds{id="0x00500000",file="cam\"era.so"} 0.012
# HELP dvr_plugin_open_duration_seconds How long each plugin's Open took.
# TYPE dvr_plugin_open_duration_seconds gauge
dvr_plugin_open_duration_seconds{id="0x00500000",file="cam\"era.so"} 0.003
# HELP dvr_plugin_open_code What each plugin's Open returned (0 is success).
# TYPE dvr_plugin_open_code gauge
dvr_plugin_open_code{id="0x00500000",file="cam\"era.so"} 0
# HELP dvr_plugin_log_level Each plugin's log threshold (-1: the plugin's default).
# TYPE dvr_plugin_log_level gauge
dvr_plugin_log_level{id="0x00500000",file="cam\"era.so"} -1
# HELP dvr_events_total Events delivered to the metrics plugin, by provider and event type.
# TYPE dvr_events_total counter
dvr_events_total{provider="0x00500000",type="video"} 25
dvr_events_total{provider="0x80000000",type="log"} 1
# HELP dvr_event_bytes_total Data bytes of the events delivered to the metrics plugin.
# TYPE dvr_event_bytes_total counter
dvr_event_bytes_total{provider="0x00500000",type="video"} 81920
dvr_event_bytes_total{provider="0x80000000",type="log"} 40
# HELP dvr_video_frames_total Video frames delivered, by provider and frame kind.
# TYPE dvr_video_frames_total counter
dvr_video_frames_total{provider="0x00500000",frame="key"} 1
dvr_video_frames_total{provider="0x00500000",frame="dependent"} 24
# HELP dvr_log_messages_total Log messages delivered, by source and level.
# TYPE dvr_log_messages_total counter
dvr_log_messages_total{source="0x80000000",level="25"} 1
# HELP dvr_config_documents_total Configuration documents received.
# TYPE dvr_config_documents_total counter
dvr_config_documents_total 0
# HELP dvr_config_document_bytes_total Bytes of the configuration documents received.
# TYPE dvr_config_document_bytes_total counter
dvr_config_document_bytes_total 0
# HELP dvr_memory_documents_total Memory-state documents received from the core.
# TYPE dvr_memory_documents_total counter
dvr_memory_documents_total 0
# HELP dvr_memory_throttling 1 while the core refuses frames because memory is low.
# TYPE dvr_memory_throttling gauge
dvr_memory_throttling 0
# HELP dvr_memory_state_timestamp_seconds When the core sent its latest memory state.
# TYPE dvr_memory_state_timestamp_seconds gauge
dvr_memory_state_timestamp_seconds 1765000000
# HELP dvr_queue_reports_total Queue reports of the core received.
# TYPE dvr_queue_reports_total counter
dvr_queue_reports_total 1
# HELP dvr_throttled_frames_total Frames the core refused for low memory, from its queue reports.
# TYPE dvr_throttled_frames_total counter
dvr_throttled_frames_total{kind="video"} 7
dvr_throttled_frames_total{kind="audio"} 0
# HELP dvr_queue_events_total Events the core's delivery loop took from its queue, from its queue reports.
# TYPE dvr_queue_events_total counter
dvr_queue_events_total 1500
# HELP dvr_queue_length Events waiting in the core's queue at its latest report.
# TYPE dvr_queue_length gauge
dvr_queue_length 2
# HELP dvr_blocks_held Data blocks held at the core's latest queue report.
# TYPE dvr_blocks_held gauge
dvr_blocks_held 3
# HELP dvr_blocks_held_bytes Bytes of the data blocks held at the core's latest queue report.
# TYPE dvr_blocks_held_bytes gauge
dvr_blocks_held_bytes 24576
# HELP dvr_metrics_dropped_series_total Counts the metrics plugin could not keep: its series tables were full.
# TYPE dvr_metrics_dropped_series_total counter
dvr_metrics_dropped_series_total 0
)");
}

TEST(MetricsDocuments, OnlyTheCoresStatusDocumentIsTaken)
{
    StatusDocument status;
    ASSERT_TRUE(parseStatusDocument(kStatus, status));
    ASSERT_EQ(status.plugins.size(), 1u);  // the core and the failed file are not plugins
    EXPECT_EQ(status.plugins[0].id, 5242880);
    ASSERT_EQ(status.failed.size(), 1u);
    EXPECT_EQ(status.failed[0].file, "bad.so");

    const std::string refused[] = {
        "<Qarn Delta=\"1\"><Modules><Module ID=\"-2147483648\" Name=\"Core\"/></Modules></Qarn>",
        "<Qarn Delta=\"0\"><Modules><Module ID=\"5\" Name=\"x\"/></Modules></Qarn>",
        std::string(kStatus, sizeof kStatus / 2),  // cut inside a tag
        "<Qarn Delta=\"0\"><Module ID=-2147483648 Name=\"Core\"/></Qarn>",
        "",
    };
    for (const std::string &text : refused) {
        StatusDocument untouched = status;
        EXPECT_FALSE(parseStatusDocument(text, untouched)) << text;
        EXPECT_EQ(untouched.plugins.size(), 1u) << text;
    }
}

TEST(MetricsDocuments, QueueReportAndMemoryStateAreReadWithinTheirLength)
{
    struct Case {
        std::string text;
        bool ok;
        QueueReport expected;
    };
    const Case cases[] = {
        {"core event queue size: 4, throttledframes:[v:1,234 a:0], events:1,234,567, refblks: 12 "
         "(1,500,000 bytes)",
         true, {4, 1234, 0, 1234567, 12, 1500000}},
        {std::string("core event queue size: 0, throttledframes:[v:0 a:5], events:90, refblks: 1 (640 bytes)\0", 88),
         true, {0, 0, 5, 90, 1, 640}},
        {"core event queue size: 4, throttledframes:[v:1 a:0], events:9, refblks: 1 (2 bytes) and more", false, {}},
        {"core event queue size: , throttledframes:[v:1 a:0], events:9, refblks: 1 (2 bytes)", false, {}},
        {"Top - 80000000:1", false, {}},
    };
    for (const Case &c : cases) {
        QueueReport report{};
        EXPECT_EQ(parseQueueReport(c.text, report), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(std::tie(report.queueLength, report.throttledVideo, report.throttledAudio, report.events,
                               report.blocks, report.blockBytes),
                      std::tie(c.expected.queueLength, c.expected.throttledVideo, c.expected.throttledAudio,
                               c.expected.events, c.expected.blocks, c.expected.blockBytes))
                << c.text;
        }
    }

    const std::string memory = "<?xml ?><Qarn><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"1765000000\"/></Qarn>";
    MemoryState state;
    ASSERT_TRUE(parseMemoryState(memory, state));
    EXPECT_EQ(state.throttling, 1);
    EXPECT_EQ(state.time, 1765000000);
    // The block ends before the Time value is complete: not read past it.
    EXPECT_FALSE(parseMemoryState(std::string_view(memory).substr(0, memory.find("176") + 3), state));
}

TEST(MetricsDocuments, AFullTableDropsNewSeriesAndSaysSo)
{
    SeriesTable<64> table;
    for (uint32_t provider = 0; provider < 200; ++provider)
        table.add(provider << 16, 1, 1, 0);
    std::vector<Series> series;
    table.collect(series);
    EXPECT_EQ(series.size() + table.droppedCount(), 200u);
    EXPECT_LE(series.size(), 64u);
    EXPECT_GT(table.droppedCount(), 0u);
    for (const Series &one : series)
        EXPECT_EQ(one.count1, 1u);
}

// One writer (the delivery thread) and one reader (a scrape) at once: every
// key the reader sees is one that was written, and no count goes back.
TEST(MetricsDocuments, CountsReadWhileWrittenAreWholeAndNeverGoBack)
{
    Counters counters;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t round = 0; round < 20000; ++round)
            counters.events.add(0x00300000u | (round % 64), DVR_EVENT_VIDEO_FRAME, 1, 100);
        done = true;
    });
    std::map<uint32_t, uint64_t> last;
    while (!done) {
        for (const Series &series : takeSnapshot(counters).events) {
            ASSERT_EQ(series.key1 & ~63u, 0x00300000u);
            ASSERT_EQ(series.key2, DVR_EVENT_VIDEO_FRAME);
            ASSERT_GE(series.count1, last[series.key1]);
            last[series.key1] = series.count1;
        }
    }
    writer.join();
    const Snapshot end = takeSnapshot(counters);
    ASSERT_EQ(end.events.size(), 64u);
    for (const Series &series : end.events)
        EXPECT_EQ(series.count2, series.count1 * 100);
}

namespace http = boost::beast::http;

TEST(MetricsHttp, AnswersByPathAndMethod)
{
    boost::asio::io_context io;
    HttpServer server(io, [] { return std::string("dvr_events_total 1\n"); });
    std::string error;
    boost::asio::ip::tcp::endpoint endpoint;
    ASSERT_TRUE(parseListenAddress("127.0.0.1:0", endpoint, error)) << error;
    ASSERT_TRUE(server.listen(endpoint, error)) << error;
    std::thread serving([&io] { io.run(); });

    struct Case {
        http::verb method;
        const char *target;
        unsigned status;
        const char *body;
        const char *allow;
    };
    const Case cases[] = {
        {http::verb::get, "/metrics", 200, "dvr_events_total 1\n", ""},
        {http::verb::get, "/metrics?x=1", 200, "dvr_events_total 1\n", ""},
        {http::verb::get, "/", 404, nullptr, ""},
        {http::verb::post, "/metrics", 405, nullptr, "GET, HEAD"},
        {http::verb::delete_, "/metrics", 405, nullptr, "GET, HEAD"},
    };
    boost::beast::tcp_stream client(io.get_executor());
    client.connect(server.localEndpoint());
    for (const Case &c : cases) {  // one kept-alive connection for all
        http::request<http::string_body> request(c.method, c.target, 11);
        request.set(http::field::host, "127.0.0.1");
        request.prepare_payload();
        http::write(client, request);
        boost::beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(client, buffer, response);
        EXPECT_EQ(response.result_int(), c.status) << c.target;
        EXPECT_EQ(response[http::field::allow], c.allow) << c.target;
        if (c.body) {
            EXPECT_EQ(response.body(), c.body);
            EXPECT_EQ(response[http::field::content_type], kExpositionContentType);
        }
    }
    // Bytes that are no request get 400, and the connection is closed.
    boost::beast::tcp_stream garbage(io.get_executor());
    garbage.connect(server.localEndpoint());
    boost::asio::write(garbage, boost::asio::buffer(std::string("GARBAGE\r\n\r\n")));
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> refused;
    http::read(garbage, buffer, refused);
    EXPECT_EQ(refused.result_int(), 400u);
    EXPECT_FALSE(refused.keep_alive());
    io.stop();
    serving.join();

    // A second server on the same address is refused with the reason.
    boost::asio::io_context other;
    HttpServer second(other, [] { return std::string(); });
    EXPECT_FALSE(second.listen(server.localEndpoint(), error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    EXPECT_FALSE(parseListenAddress("localhost:9464", endpoint, error));
    EXPECT_FALSE(parseListenAddress("127.0.0.1:70000", endpoint, error));
    EXPECT_TRUE(parseListenAddress("[::1]:9464", endpoint, error));
}

}  // namespace
