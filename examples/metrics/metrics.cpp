/*
 * metrics - an example plugin: the core's traffic and health as Prometheus
 * metrics, served over HTTP at /metrics (text exposition format 0.0.4).
 *
 * It subscribes to every event it may (frames, memory-state documents, log
 * messages and the kinds without a name) and counts, in Write, what reaches
 * it: events and bytes by provider and type, key and dependent frames by
 * provider, log messages by source and level, and what the core's
 * memory-state documents and periodic queue reports say. Write only counts:
 * no allocation, no formatting, no lock; the block is never kept. The status
 * document every plugin receives through IOCTL_UPDATE_CONFIG is copied there
 * and read later on the plugin's own thread.
 *
 * On the worker thread the core gives it (IOCTL_RUN_WORKER) it serves
 * /metrics on DVR_METRICS_LISTEN (host:port, numeric address; by default
 * 127.0.0.1:9464), formatting the text when a scrape asks for it. When the
 * address cannot be bound (the port in use, say) it says so through the
 * core's log, keeps counting, and tries again every minute. Close stops the
 * worker.
 *
 * Written only against include/plugin/ and Boost (Asio, Beast).
 */
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "counters.h"
#include "documents.h"
#include "exposition.h"
#include "http_server.h"
#include "plugin/dvrplugin_entry.h"
#include "plugin/dvrplugin_helpers.h"

namespace {

namespace asio = boost::asio;
using namespace metrics;

constexpr uint32_t kMetricsId = 0x00530000u;
constexpr const char *kDefaultListen = "127.0.0.1:9464";
constexpr std::chrono::seconds kRetryInterval(60);
constexpr size_t kMaxPendingDocuments = 4;

DvrEventEntry coreEntry;
Counters counters;

// Configuration documents copied on the delivery thread, read on the worker.
std::mutex documentMutex;
std::vector<std::string> pendingDocuments;

// The worker's own: the latest status document of the core.
bool haveStatus;
StatusDocument status;

// The running worker's io_context, for Close to stop.
std::mutex workerMutex;
asio::io_context *runningWorker;
bool closing;

#define metrics_log(...) dvr_log(coreEntry, kMetricsId, __VA_ARGS__)

std::string currentExposition()
{
    std::vector<std::string> documents;
    {
        std::lock_guard<std::mutex> hold(documentMutex);
        documents.swap(pendingDocuments);
    }
    for (const std::string &document : documents)
        haveStatus = parseStatusDocument(document, status) || haveStatus;
    Snapshot snapshot = takeSnapshot(counters);
    snapshot.haveStatus = haveStatus;
    snapshot.status = status;
    snapshot.haveProcess = readProcessStats(snapshot.process);
    return formatExposition(snapshot);
}

// Binds the endpoint, or says why not (once) and tries again in a minute.
void startListening(HttpServer &server, asio::steady_timer &retry, const asio::ip::tcp::endpoint &at,
                    const std::string &text, bool failedBefore)
{
    std::string error;
    if (server.listen(at, error)) {
        const asio::ip::tcp::endpoint bound = server.localEndpoint();
        const std::string host = bound.address().to_string();
        metrics_log(25, "metrics: serving http://%s%s%s:%u/metrics", bound.address().is_v6() ? "[" : "",
                    host.c_str(), bound.address().is_v6() ? "]" : "", unsigned(bound.port()));
        return;
    }
    if (!failedBefore)
        metrics_log(75, "metrics: cannot listen on %s: %s; counting without the endpoint, trying again every %d s",
                    text.c_str(), error.c_str(), int(kRetryInterval.count()));
    retry.expires_after(kRetryInterval);
    retry.async_wait([&server, &retry, at, text](const boost::system::error_code &code) {
        if (!code)
            startListening(server, retry, at, text, true);
    });
}

void runWorker()
{
    asio::io_context io;
    {
        std::lock_guard<std::mutex> hold(workerMutex);
        if (closing)
            return;
        runningWorker = &io;
    }
    HttpServer server(io, currentExposition);
    asio::steady_timer retry(io);
    const char *variable = std::getenv("DVR_METRICS_LISTEN");
    const std::string text = variable && *variable ? variable : kDefaultListen;
    asio::ip::tcp::endpoint endpoint;
    std::string error;
    if (parseListenAddress(text, endpoint, error))
        startListening(server, retry, endpoint, text, false);
    else
        metrics_log(75, "metrics: DVR_METRICS_LISTEN=\"%s\": %s; counting without the endpoint", text.c_str(),
                    error.c_str());
    // Idle until Close, without an endpoint too: the thread sleeps in the
    // io_context's wait.
    const auto work = asio::make_work_guard(io);
    io.run();
    std::lock_guard<std::mutex> hold(workerMutex);
    runningWorker = nullptr;
}

}  // namespace

extern "C" {

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    coreEntry = in->eventEntry;
    out->pluginId = kMetricsId;
    // Every kind it may take, except 0x20, whose word also orders the
    // closing: left at 0, the metrics plugin closes with the last.
    for (int word : {DVR_SUBSCRIBE_0x1, DVR_SUBSCRIBE_0x2, DVR_SUBSCRIBE_0x4, DVR_SUBSCRIBE_0x8,
                     DVR_SUBSCRIBE_0x10, DVR_SUBSCRIBE_0x40, DVR_SUBSCRIBE_0x80, DVR_SUBSCRIBE_0x400})
        out->subscribe[word] = 0xFFFFFFFFu;
    out->wantWorkerThread = 1;
    out->writable = 1;
    std::lock_guard<std::mutex> hold(workerMutex);
    closing = false;
    return 0;
}

int Write(const _WriteParmsIn *in, _WriteParmsOut *out)
{
    (void)out;  // never keeps the block
    const std::string_view data(static_cast<const char *>(in->data), in->data ? in->len : 0);
    counters.events.add(in->providerID, in->eventType, 1, data.size());
    if (in->eventType & DVR_EVENT_VIDEO_FRAME) {
        const bool key = in->frameType == DVR_FRAME_KEY;
        counters.frames.add(in->providerID, 0, key, !key);
    }
    if ((in->eventType & DVR_EVENT_LOG) && (in->flags & DVR_FLAG_LOG_MESSAGE)) {
        counters.logs.add(in->providerID, uint32_t(in->level), 1, 0);
        QueueReport report;
        if (in->providerID == DVR_PROVIDER_CORE && parseQueueReport(data, report))
            counters.addQueueReport(report);
    }
    MemoryState memory;
    if ((in->eventType & DVR_EVENT_STATUS) && in->providerID == DVR_PROVIDER_CORE) {
        bump(counters.memoryDocuments, 1);
        if (parseMemoryState(data, memory)) {
            counters.throttling.store(memory.throttling, std::memory_order_relaxed);
            counters.throttlingTime.store(memory.time, std::memory_order_relaxed);
        }
    }
    return 0;
}

int IOCTL(const _IoctlParmsIn *in, _IoctlParmsOut *out)
{
    try {
        if (in->code == IOCTL_RUN_WORKER) {
            runWorker();
        } else if (in->code == IOCTL_UPDATE_CONFIG) {
            const uint32_t length = in->data ? in->length : 0;
            bump(counters.configDocuments, 1);
            bump(counters.configBytes, length);
            if (length) {
                std::lock_guard<std::mutex> hold(documentMutex);
                if (pendingDocuments.size() == kMaxPendingDocuments)
                    pendingDocuments.erase(pendingDocuments.begin());
                pendingDocuments.emplace_back(static_cast<const char *>(in->data), length);
            }
        }
    } catch (const std::exception &failure) {
        metrics_log(75, "metrics: IOCTL %u failed: %s", unsigned(in->code), failure.what());
        out->error = 1;
    }
    return 0;
}

int Close(const _CloseParmsIn *in, _CloseParmsOut *out)
{
    (void)in;
    (void)out;
    std::lock_guard<std::mutex> hold(workerMutex);
    closing = true;
    if (runningWorker)
        runningWorker->stop();
    return 0;
}

}  // extern "C"
