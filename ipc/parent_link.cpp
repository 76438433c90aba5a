#include "ipc/parent_link.h"

#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>

#include "plugin/dvrplugin.h"

ParentLink::ParentLink(boost::asio::io_context &ioContext, DvrEventEntry entry, Handlers handlers)
    : ioContext(ioContext), log(entry), handlers(std::move(handlers)), parentSocket(ioContext)
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
    // Sends are tried at once and wait for room only when the socket is full.
    if (!error)
        socket.non_blocking(true, error);
    if (error)
        return false;
    parentSocket = std::move(socket);
    parentConnected = true;
    return true;
}

namespace {

// The socket has nothing to give, or no room to take, just now.
bool wouldBlock(const boost::system::error_code &error)
{
    return error == boost::asio::error::would_block || error == boost::asio::error::try_again;
}

}  // namespace

// --- receiving -------------------------------------------------------------

void ParentLink::startReceive()
{
    if (!parentSocket.is_open())
        return;
    // One record per receive, into the room after the bytes still held; a
    // record longer than that room is cut short by the socket.
    parentSocket.async_receive(
        boost::asio::buffer(stream.freeSpace(), stream.freeBytes()), receiveFlags,
        [this](const boost::system::error_code &error, std::size_t count) {
            onReceive(error, count);
        });
}

void ParentLink::onReceive(boost::system::error_code error, std::size_t count)
{
    // Records already waiting are taken at once rather than each through the
    // reactor; a bounded number, so the other work of this thread goes on.
    for (int record = 1;; ++record) {
        if (error || count == 0) {
            linkLost();
            return;
        }
        stream.received(static_cast<uint32_t>(count), *this);
        if (record == kRecordsPerTurn)
            break;
        count = parentSocket.receive(boost::asio::buffer(stream.freeSpace(), stream.freeBytes()),
                                     0, receiveFlags, error);
        if (wouldBlock(error))
            break;
    }
    startReceive();
}

void ParentLink::onPacket(const PacketHeader &header, uint8_t *packet)
{
    if (header.command == DVR_IPC_STOP) {
        if (handlers.requestStop)
            handlers.requestStop();
    } else if (header.command == DVR_IPC_SETTINGS && header.length > DVR_IPC_HEADER_SIZE) {
        takeSettings(packet + DVR_IPC_HEADER_SIZE, header.length - DVR_IPC_HEADER_SIZE);
    } else if (handlers.deliver) {
        handlers.deliver(header, packet);
    }
}

void ParentLink::onBadLength(uint32_t)
{
    log(50, "bad ipc packet length");
}

void ParentLink::takeSettings(const uint8_t *payload, uint32_t length)
{
    const ParentSettings settings = parseSettings(payload, length);
    {
        std::lock_guard<std::mutex> lock(waitMutex);
        parent.filename = settings.filename;
        if (settings.fields >= 2)
            parent.version = settings.version;
    }
    if (settings.fields >= 3 && handlers.background)
        handlers.background(settings.background);
    signalWait(true);
}

void ParentLink::linkLost()
{
    log(100, "tornel ipc pipe disconnected");
    log(100, "sleeping for one minute to allow active watchdogs to expire...");
    parentLost = true;
    parentConnected = false;
    if (handlers.requestStop)
        handlers.requestStop();
    boost::system::error_code ignored;
    parentSocket.close(ignored);
    // Nothing more can be sent: free what waits now rather than at exit.
    drop(outgoingPackets);
}

// --- sending ---------------------------------------------------------------

int32_t ParentLink::queuePacket(void *data, uint32_t len)
{
    Buffer buffer(static_cast<uint8_t *>(data));
    if (!connected() || !data || len == 0)
        return DVR_RESULT_REFUSED;
    if (pendingBytes.fetch_add(len) + len > kMaxPendingBytes) {
        pendingBytes -= len;
        if (!queueFull.exchange(true))
            log(50, "ipc send queue full: packets for the parent are refused");
        return DVR_RESULT_REFUSED;
    }
    // Packets wait in the inbox for the I/O thread, which takes them all at
    // once: only the first of a burst posts a job and wakes it.
    bool first;
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        first = inbox.empty();
        inbox.push_back({std::move(buffer), len});
    }
    if (first)
        boost::asio::post(ioContext, [this] { takeInbox(); });
    return DVR_RESULT_OK;
}

void ParentLink::takeInbox()
{
    std::deque<Outgoing> arrived;
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        arrived.swap(inbox);
    }
    if (!parentSocket.is_open() || sendFailed) {
        drop(arrived);
        return;
    }
    for (Outgoing &packet : arrived)
        outgoingPackets.push_back(std::move(packet));
    if (!writing)
        sendQueued();
}

void ParentLink::sendQueued()
{
    // Writes while the socket takes them, in sends of at most kMaxSend bytes;
    // when it is full, waits until it can take more and goes on from there.
    while (!outgoingPackets.empty()) {
        const Outgoing &front = outgoingPackets.front();
        const uint32_t size = std::min(front.length - sentOfFront, kMaxSend);
        boost::system::error_code error;
        const std::size_t sent = parentSocket.send(
            boost::asio::buffer(front.data.get() + sentOfFront, size), 0, error);
        if (wouldBlock(error)) {
            waitUntilWritable();
            return;
        }
        if (error) {
            finishFront(error);
            return;
        }
        sentOfFront += static_cast<uint32_t>(sent);
        if (sentOfFront == front.length)
            finishFront(error);
    }
}

void ParentLink::waitUntilWritable()
{
    writing = true;
    parentSocket.async_wait(boost::asio::socket_base::wait_write,
                            [this](const boost::system::error_code &error) {
                                writing = false;
                                // Lost while waiting: the queue is gone already.
                                if (outgoingPackets.empty())
                                    return;
                                if (error)
                                    finishFront(error);
                                else
                                    sendQueued();
                            });
}

void ParentLink::finishFront(const boost::system::error_code &error)
{
    pendingBytes -= outgoingPackets.front().length;
    outgoingPackets.pop_front();
    sentOfFront = 0;
    if (error) {
        // The parent cannot take more: nothing further is written.
        sendFailed = true;
        log(50, "failed to send ipc packet: %s", error.message().c_str());
        drop(outgoingPackets);
        return;
    }
    if (pendingBytes.load() < kMaxPendingBytes / 2)
        queueFull = false;
}

void ParentLink::drop(std::deque<Outgoing> &packets)
{
    for (const Outgoing &packet : packets)
        pendingBytes -= packet.length;
    packets.clear();
}

void ParentLink::discardPending()
{
    {
        std::lock_guard<std::mutex> lock(inboxMutex);
        inbox.clear();
    }
    outgoingPackets.clear();
    sentOfFront = 0;
}

// --- the start-up wait and the parent's settings ----------------------------

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
