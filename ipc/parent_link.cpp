// The sequenced-packet link to the parent process.
#include <boost/asio/post.hpp>
#include <cstdlib>
#include <memory>

#include "core/dvrcore.h"

// Receiving from the parent is not built yet.
void dvrcore::startParentReceive() {}

// Packets for the parent wait in outgoingPackets on the I/O thread; sending
// them is not built yet, so they stay queued and are freed at shutdown. A job
// the I/O context drops unrun frees its buffer.
void dvrcore::queueParentPacket(void *data, uint32_t len)
{
    std::unique_ptr<void, void (*)(void *)> buffer(data, std::free);
    boost::asio::post(ioContext, [this, buffer = std::move(buffer), len]() mutable {
        outgoingPackets.emplace_back(buffer.release(), len);
    });
}
