#include "ipc/parent_link.h"

#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <cstdlib>
#include <memory>

#include "plugin/dvrplugin.h"

ParentLink::ParentLink(boost::asio::io_context &ioContext)
    : ioContext(ioContext), parentSocket(ioContext)
{
}

ParentLink::~ParentLink()
{
    discardPending();
}

bool ParentLink::adopt(int descriptor)
{
    boost::system::error_code error;
    boost::asio::generic::seq_packet_protocol::socket socket(ioContext);
    // Local domain, protocol 0: the socket type is told by the protocol
    // object itself.
    socket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), descriptor, error);
    if (error)
        return false;
    parentSocket = std::move(socket);
    parentConnected = true;
    return true;
}

// Receiving from the parent is not built yet.
void ParentLink::startReceive() {}

// Packets wait in outgoingPackets on the I/O thread; sending them is not built
// yet, so they stay queued until discarded. A job the I/O context drops unrun
// frees its buffer.
int32_t ParentLink::queuePacket(void *data, uint32_t len)
{
    std::unique_ptr<void, void (*)(void *)> buffer(data, std::free);
    if (!connected() || !data || len == 0)
        return DVR_RESULT_REFUSED;
    boost::asio::post(ioContext, [this, buffer = std::move(buffer), len]() mutable {
        outgoingPackets.emplace_back(buffer.release(), len);
    });
    return DVR_RESULT_OK;
}

void ParentLink::discardPending()
{
    for (auto &packet : outgoingPackets)
        std::free(packet.first);
    outgoingPackets.clear();
}

void ParentLink::waitForSettings(std::chrono::steady_clock::duration limit)
{
    std::unique_lock<std::mutex> lock(waitMutex);
    waitCondition.wait_for(lock, limit, [this] { return settingsReceived || waitEnded; });
}

void ParentLink::settingsArrived(Program program)
{
    {
        std::lock_guard<std::mutex> lock(waitMutex);
        parent = std::move(program);
    }
    signalWait(true);
}

ParentLink::Program ParentLink::parentProgram()
{
    std::lock_guard<std::mutex> lock(waitMutex);
    return parent;
}

void ParentLink::endWait()
{
    signalWait(false);
}

void ParentLink::signalWait(bool settings)
{
    {
        std::lock_guard<std::mutex> lock(waitMutex);
        (settings ? settingsReceived : waitEnded) = true;
    }
    waitCondition.notify_all();
}
