// The sequenced-packet link to the parent process: the socket on the
// descriptor the parent hands over, the packets it sends (settings, stop, and
// packets for plugins), the packets plugins send up, and the start-up wait
// for the parent's settings.
//
// The socket, the receive buffer and the outgoing packets belong to the I/O
// thread once it runs; other threads reach them by posting jobs to the I/O
// context.
#pragma once

#include <atomic>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ipc/packet_stream.h"
#include "log/logging.h"

class ParentLink final : private PacketStream::Sink {
public:
    // The parent program as its settings name it: its file name and version.
    struct Program {
        std::string filename;
        std::string version;
    };

    // What the link asks of the rest of the core; each is called on the I/O
    // thread.
    struct Handlers {
        // The parent asked for a stop, or the link was lost.
        std::function<void()> requestStop;
        // A packet for a plugin: `packet` (header first, `header.length`
        // bytes) is valid during the call only.
        std::function<void(const PacketHeader &header, uint8_t *packet)> deliver;
        // The settings switched background mode on or off.
        std::function<void(bool background)> background;
    };

    // Most bytes waiting to be sent before further packets are refused: a
    // parent that stops reading must not make the core grow without bound.
    static constexpr uint64_t kMaxPendingBytes = 8u << 20;
    // The largest single send.
    static constexpr uint32_t kMaxSend = 65536;
    // Most records taken from the socket in one turn of the I/O thread.
    static constexpr int kRecordsPerTurn = 64;

    ParentLink(boost::asio::io_context &ioContext, DvrEventEntry entry, Handlers handlers);
    ~ParentLink();
    ParentLink(const ParentLink &) = delete;
    ParentLink &operator=(const ParentLink &) = delete;

    // Wraps the inherited descriptor as a local sequenced-packet socket.
    // False when the descriptor cannot be taken as one.
    bool adopt(int descriptor);
    // A link was adopted and has not been lost.
    bool connected() const { return parentConnected.load(); }
    // The link was lost: end of stream or a receive error.
    bool lost() const { return parentLost.load(); }

    // Starts receiving from the parent. Called once before the I/O thread
    // runs; the receive handler renews it.
    void startReceive();

    // A packet for the parent, in a malloc'ed buffer that passes to the link
    // whatever the outcome. Returns the event result: 0 when it is on its
    // way, 1 (and the buffer freed) without a link, without data, or while
    // kMaxPendingBytes are waiting.
    int32_t queuePacket(void *data, uint32_t len);
    // Frees every packet not yet sent (after the I/O thread has ended).
    void discardPending();

    // Start-up: waits until the parent's settings have arrived, the wait is
    // ended, or `limit` has passed. Settings that arrived before the wait
    // began end it at once.
    void waitForSettings(std::chrono::steady_clock::duration limit);
    // The parent's settings have been taken over.
    void settingsArrived(Program program = {});
    // The parent program of the last settings; empty before any.
    Program parentProgram();
    // Ends the start-up wait without settings (a stop was requested).
    void endWait();

private:
    struct FreeDelete {
        void operator()(void *data) const { std::free(data); }
    };
    using Buffer = std::unique_ptr<uint8_t, FreeDelete>;
    struct Outgoing {
        Buffer data;
        uint32_t length;
    };

    void onReceive(boost::system::error_code error, std::size_t count);
    void onPacket(const PacketHeader &header, uint8_t *packet) override;
    void onBadLength(uint32_t length) override;
    void takeSettings(const uint8_t *payload, uint32_t length);
    void linkLost();

    void takeInbox();
    void sendQueued();
    void waitUntilWritable();
    void finishFront(const boost::system::error_code &error);
    // Frees `packets` and takes them out of the pending count.
    void drop(std::deque<Outgoing> &packets);
    void signalWait(bool settings);

    boost::asio::io_context &ioContext;
    const CoreLogger log;
    const Handlers handlers;
    boost::asio::generic::seq_packet_protocol::socket parentSocket;
    std::atomic<bool> parentConnected{false};
    std::atomic<bool> parentLost{false};

    // I/O thread only.
    PacketStream stream;
    boost::asio::socket_base::message_flags receiveFlags = 0;
    std::deque<Outgoing> outgoingPackets;
    uint32_t sentOfFront = 0;
    bool writing = false;  // waiting for room in the socket
    bool sendFailed = false;
    // Packets accepted on any thread, not yet taken by the I/O thread.
    std::mutex inboxMutex;
    std::deque<Outgoing> inbox;
    // Bytes accepted and not yet sent or freed; any thread.
    std::atomic<uint64_t> pendingBytes{0};
    std::atomic<bool> queueFull{false};

    std::mutex waitMutex;
    std::condition_variable waitCondition;
    bool settingsReceived = false;
    bool waitEnded = false;
    Program parent;  // guarded by waitMutex
};
