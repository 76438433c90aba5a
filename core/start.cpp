// The start and stop sequence of the core.
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <exception>
#include <future>

#include "core/dvrcore.h"

namespace {

constexpr auto kSettingsWait = std::chrono::seconds(10);
constexpr time_t kParentLossGraceSeconds = 60;

}  // namespace

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
    host.loadPlugins(boost::filesystem::path(executablePath).parent_path());
    if (parentLink.connected())
        parentLink.startReceive();
    auto work = boost::asio::make_work_guard(ioContext);
    startIoThread();
    if (parentLink.connected())
        parentLink.waitForSettings(kSettingsWait);
    host.openPlugins();
    if (getuid() != 0)
        SetCapabilities(kRunningCapabilities);
    host.startReaderThreads();
    housekeepingTimer.async_wait(
        [this](const boost::system::error_code &error) { OnHousekeepingTick(error); });
    saveStatus();
    log(25, "successfully started core version %s", coreVersion.c_str());

    bus.runDeliveryLoop();

    log(25, "stopping core version %s...", coreVersion.c_str());
    cancelHousekeeping();
    if (parentLost)
        sleepAfterParentLoss();
    host.closePlugins();
    work.reset();
    ioContext.stop();
    ioThread.join();
    parentLink.discardPending();
    host.unloadPlugins();
}

void dvrcore::startIoThread()
{
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
}

// Reading product.xml and core.xml is not built yet: the defaults stay.
void dvrcore::loadConfiguration() {}

// Writing the status into core.xml and publishing it is not built yet.
void dvrcore::saveStatus() {}

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
    timespec remaining{kParentLossGraceSeconds, 0};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}
