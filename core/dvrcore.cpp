#include "core/dvrcore.h"

#include <sys/stat.h>

#include <boost/asio/post.hpp>

#include "config/memory_document.h"
#include "log/logging.h"

namespace {

std::atomic<dvrcore *> coreInstance{nullptr};

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
    : executablePath(std::move(executablePath))
{
    coreInstance.store(this);
    // Level tables start all unset; the core itself logs from level 25.
    defaultLogLevels.set(LogLevelTable::kCoreIndex, 25);
    logLevels.set(LogLevelTable::kCoreIndex, 25);
    // Configuration documents from plugins are applied on the I/O thread,
    // one at a time in delivery order.
    bus.onConfigDocument([this](std::string text) {
        boost::asio::post(ioContext, [this, text = std::move(text)] { status.applyUpdate(text); });
    });
}

dvrcore::~dvrcore()
{
    // No read thread may outlive the core it reports to.
    bus.readRequests().stop();
    bus.readRequests().waitForAll();
    // Report blocks no plugin released while every component is still alive.
    reportLeaks();
    dvrcore *self = this;
    coreInstance.compare_exchange_strong(self, nullptr);
}

void dvrcore::reportLeaks()
{
    const std::string leaks = bus.blocks().leakReport();
    if (!leaks.empty())
        log(0, "%s", leaks.c_str());
}

dvrcore::Clock::time_point dvrcore::Now()
{
    return Clock::now();
}

void dvrcore::sendDocument(const XmlDocument &document, uint32_t eventType)
{
    const std::string text = document.printCompact();
    _EventParmsIn in = dvr_event_in(DVR_PROVIDER_CORE, eventType, DVR_FLAG_FLOW_CONTROL | DVR_FLAG_XML);
    in.data = const_cast<char *>(text.data());
    in.len = static_cast<uint32_t>(text.size());
    _EventParmsOut out = dvr_event_out();
    PluginEvent(&in, &out);
}

void dvrcore::AnnounceMemoryState()
{
    XmlDocument document;
    buildMemoryDocument(bus.throttling(), WallClockSeconds(), document);
    sendDocument(document, DVR_EVENT_STATUS);
}

void dvrcore::WriteLog(uint32_t providerID, uint32_t level, const char *text)
{
    console.WriteLog(providerID, level, text);
}

bool dvrcore::Initialize(int parentDescriptor)
{
    sourceNames.set(DVR_PROVIDER_CORE, "core");
    umask(077);

    privileges.KeepCapabilitiesAcrossUserChange();
    uint32_t parentUid = 0;
    if (!privileges.AdoptParentIdentity(parentUid))
        return false;
    if (parentUid != 0)
        privileges.SetCapabilities(kOpeningCapabilities);

    if (parentDescriptor != -1 && !parentLink.adopt(parentDescriptor)) {
        log(100, "failed to open ipc pipe");
        return false;
    }
    return true;
}

void dvrcore::RequestStop()
{
    bus.requestStop();
    parentLink.endWait();
}

// The one door for every event: each kind goes to the component that serves it.
int dvrcore::PluginEvent(const _EventParmsIn *in, _EventParmsOut *out)
{
    eventEntry.dispatch(in, out);
    return 0;
}

int32_t dvrcore::queueParentPacket(void *data, uint32_t len)
{
    return parentLink.queuePacket(data, len);
}

void dvrcore::serveCoreRequest(const _EventParmsIn &request)
{
    host.serveCoreRequest(request);
}
