// The start and stop sequence of the core.
#include <pthread.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <exception>

#include "core/dvrcore.h"

namespace {

constexpr auto kSettingsWait = std::chrono::seconds(10);
constexpr std::chrono::seconds kParentLossGrace(60);

}  // namespace

void dvrcore::Start()
{
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

    configuration.load(CoreVersion());
    host.loadPlugins(boost::filesystem::path(executablePath).parent_path());
    if (parentLink.connected())
        parentLink.startReceive();
    auto work = boost::asio::make_work_guard(ioContext);
    startIoThread();
    if (parentLink.connected())
        parentLink.waitForSettings(kSettingsWait);
    host.openPlugins();
    if (getuid() != 0)
        narrowCapabilities();
    host.startReaderThreads();
    housekeeping.start(configuration.throttlingEnabled());
    status.saveStatus();
    log(25, "successfully started core version %s", configuration.coreVersion().c_str());

    bus.runDeliveryLoop();
    // An update still queued on the I/O thread must not save while the
    // plugins are re-ordered for closing.
    status.close();

    log(25, "stopping core version %s...", configuration.coreVersion().c_str());
    housekeeping.cancel();
    if (parentLink.lost())
        Sleep(kParentLossGrace);
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
        // Named, so that an operator (or a test) can tell it apart in /proc.
        pthread_setname_np(pthread_self(), "dvrcore-io");
        // A handler that throws is logged and the context runs on: the
        // signals, the parent link and the timer all depend on this thread.
        for (;;) {
            try {
                housekeeping.run();
                return;
            } catch (const std::exception &error) {
                log(100, "I/O handler failed: %s", error.what());
            }
        }
    });
}

StatusSnapshot dvrcore::statusSnapshot()
{
    StatusSnapshot snapshot;
    snapshot.throttlingEnabled = configuration.throttlingEnabled();
    snapshot.coreVersion = configuration.coreVersion();
    snapshot.productFamily = configuration.productFamily();
    snapshot.executableName = boost::filesystem::path(executablePath).filename().string();
    ParentLink::Program parent = parentLink.parentProgram();
    snapshot.parentFilename = std::move(parent.filename);
    snapshot.parentVersion = std::move(parent.version);
    for (const PLUGININFO &plugin : host.list())
        snapshot.plugins.push_back({plugin.pluginId(), plugin.fileName, plugin.loadTimeMs,
                                    plugin.openTimeMs, plugin.openCode});
    snapshot.failed = host.failed();
    return snapshot;
}

void dvrcore::narrowCapabilities()
{
    // Capabilities belong to each thread: this narrows the main thread (the
    // delivery loop, every Write and Close) and the threads it starts from
    // now on. The I/O thread, which carries the plugins' packet calls, and
    // the plugins' worker threads keep what they were started with, so a
    // plugin may still drive raw I/O from a parent command.
    privileges.SetCapabilities(kRunningCapabilities);
}

void dvrcore::Sleep(std::chrono::seconds duration)
{
    timespec remaining{static_cast<time_t>(duration.count()), 0};
    while (nanosleep(&remaining, &remaining) == -1 && errno == EINTR) {
    }
}

ParentLink::Handlers dvrcore::parentHandlers()
{
    ParentLink::Handlers handlers;
    handlers.requestStop = [this] { RequestStop(); };
    handlers.deliver = [this](const PacketHeader &header, uint8_t *packet) {
        host.deliverParentPacket(header.target, packet, header.length);
    };
    handlers.background = [this](bool on) { console.setBackgroundMode(on); };
    return handlers;
}
