// The sequenced-packet link to the parent process: the socket on the
// descriptor the parent hands over, the packets plugins send up, and the
// start-up wait for the parent's settings.
//
// The socket and the outgoing packets belong to the I/O thread once it runs;
// other threads reach them by posting jobs to the I/O context.
#pragma once

#include <atomic>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

class ParentLink {
public:
    // The parent program as its settings name it: its file name and version.
    struct Program {
        std::string filename;
        std::string version;
    };

    explicit ParentLink(boost::asio::io_context &ioContext);
    // Frees packets that were never sent.
    ~ParentLink();
    ParentLink(const ParentLink &) = delete;
    ParentLink &operator=(const ParentLink &) = delete;

    // Wraps the inherited descriptor as a local sequenced-packet socket.
    // False when the descriptor cannot be taken as one.
    bool adopt(int descriptor);
    bool connected() const { return parentConnected.load(); }

    // Starts receiving from the parent.
    void startReceive();

    // A packet for the parent, in a malloc'ed buffer that passes to the link
    // whatever the outcome. Returns the event result: 0 when it is on its
    // way, 1 (and the buffer freed) without a link or without data.
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
    void signalWait(bool settings);

    boost::asio::io_context &ioContext;
    boost::asio::generic::seq_packet_protocol::socket parentSocket;
    std::atomic<bool> parentConnected{false};
    std::deque<std::pair<void *, uint32_t>> outgoingPackets;

    std::mutex waitMutex;
    std::condition_variable waitCondition;
    bool settingsReceived = false;
    bool waitEnded = false;
    Program parent;  // guarded by waitMutex
};
