#include "core/dvrcore.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <future>

#include "log/logging.h"

namespace {

std::atomic<dvrcore *> coreInstance{nullptr};

// Construction time plus 100 ms, saturating at the largest time point.
dvrcore::Clock::time_point firstTickTime()
{
    auto now = dvrcore::Clock::now();
    auto step = std::chrono::milliseconds(100);
    if (now > dvrcore::Clock::time_point::max() - step)
        return dvrcore::Clock::time_point::max();
    return now + step;
}

}  // namespace

const char *CoreVersion()
{
    return "22.03.4.0";
}

int dvrcoreEventEntry(const _EventParmsIn *in, _EventParmsOut *out)
{
    dvrcore *core = coreInstance.load();
    if (core)
        return core->PluginEvent(in, out);
    if (out)
        out->result = DVR_RESULT_REFUSED;
    return 0;
}

dvrcore *dvrcore::Instance()
{
    return coreInstance.load();
}

dvrcore::dvrcore(std::string executablePath)
    : housekeepingTimer(ioContext, firstTickTime()),
      parentSocket(ioContext),
      executablePath(std::move(executablePath))
{
    coreInstance.store(this);
    // Level tables start all unset; the core itself logs from level 25.
    defaultLogLevels.set(0, 25);
    logLevels.set(0, 25);
}

dvrcore::~dvrcore()
{
    // No read thread may outlive the core it reports to.
    readRequests.stop();
    readRequests.waitForAll();
    // Report blocks no plugin released while every member is still alive.
    reportLeaks();
    // Records left in the queue were never delivered (a core that was not
    // started, or events that raced the end of the delivery loop).
    for (auto &record : eventQueue)
        std::free(record.data);
    for (auto &packet : outgoingPackets)
        std::free(packet.first);
    dvrcore *self = this;
    coreInstance.compare_exchange_strong(self, nullptr);
}

dvrcore::Clock::time_point dvrcore::Now()
{
    return Clock::now();
}

void dvrcore::log(int32_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vlogMessage(DVR_PROVIDER_CORE, dvrcoreEventEntry, level, format, args);
    va_end(args);
}

bool dvrcore::Initialize(int parentDescriptor)
{
    sourceNames.set(DVR_PROVIDER_CORE, "core");
    umask(077);

    uint32_t parentUid = 0;
    if (!adoptParentIdentity(parentUid))
        return false;
    if (parentUid != 0)
        SetCapabilities(0x23000);

    if (parentDescriptor != -1) {
        boost::system::error_code error;
        boost::asio::generic::seq_packet_protocol::socket socket(ioContext);
        socket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, SOCK_SEQPACKET),
                      parentDescriptor, error);
        if (error) {
            log(100, "failed to open ipc pipe");
            return false;
        }
        parentSocket = std::move(socket);
        parentConnected = true;
    }
    return true;
}

void dvrcore::Start()
{
    coreVersion = CoreVersion();

    // The signal set replaces the default action of the three stop signals
    // for as long as Start runs; only the first one asks for the stop.
    boost::asio::signal_set signals(ioContext);
    signals.add(SIGINT);
    signals.add(SIGTERM);
    signals.add(SIGQUIT);
    signals.async_wait([this](const boost::system::error_code &error, int) {
        if (!error)
            RequestStop();
    });

    loadConfiguration();
    loadPlugins();
    if (parentConnected)
        startParentReceive();

    auto work = boost::asio::make_work_guard(ioContext);
    ioThread = std::thread([this] {
        // A handler that throws is logged and the context runs on: the
        // signals, the parent link and the timer all depend on this thread.
        for (;;) {
            try {
                ioContext.run();
                return;
            } catch (const std::exception &error) {
                log(100, "I/O handler failed: %s", error.what());
            }
        }
    });

    if (parentConnected)
        waitForParentSettings();
    openPlugins();
    if (getuid() != 0)
        SetCapabilities(0x3000);
    startReaderThreads();
    housekeepingTimer.async_wait(
        [this](const boost::system::error_code &error) { OnHousekeepingTick(error); });
    saveStatus();
    log(25, "successfully started core version %s", coreVersion.c_str());

    runDeliveryLoop();

    log(25, "stopping core version %s...", coreVersion.c_str());
    cancelHousekeeping();
    if (parentLost)
        sleepAfterParentLoss();
    closePlugins();
    work.reset();
    ioContext.stop();
    ioThread.join();
    for (auto &packet : outgoingPackets)
        std::free(packet.first);
    outgoingPackets.clear();
    unloadPlugins();
}

void dvrcore::waitForParentSettings()
{
    std::unique_lock<std::mutex> lock(queueMutex);
    queueCondition.wait_for(lock, std::chrono::seconds(10));
}

void dvrcore::RequestStop()
{
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopRequested = 1;
    }
    queueCondition.notify_all();
    // A read thread waiting to hand over its next block gives up: nothing
    // would deliver it once the queue is drained.
    readRequests.stop();
}

void dvrcore::cancelHousekeeping()
{
    // The timer belongs to the I/O thread: cancel it there and wait, so the
    // cancellation cannot race a tick that is running.
    std::promise<void> done;
    boost::asio::post(ioContext, [this, &done] {
        housekeepingTimer.cancel();
        done.set_value();
    });
    done.get_future().wait();
}

void dvrcore::sleepAfterParentLoss()
{
    timespec remaining{60, 0};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}
