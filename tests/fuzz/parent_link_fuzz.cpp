// The parent link's receive path, through its real receive handler: the
// fuzzer plays the parent on the other end of a socket pair and writes a
// stream of settings, stop and plugin packets (with stray bytes and bad
// lengths among them) in records of random sizes, while the I/O context is
// turned by hand. Plugin packets go to the plugin host, as the core sends
// them, and on to fake plugins' IOCTL. What happens is compared with a
// reference cut of the same records: each plugin packet whole and in order at
// the first plugin its target names (two plugins share one target), one stop
// request per stop packet, the settings' fields by position, one message per
// bad length. Plugins answer some packets with a copy through the link, which
// must reach the parent unchanged and in order; at the end the parent may
// hang up, which must stop the core once and refuse later packets.
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "ipc/parent_link.h"
#include "packet_model.h"
#include "support/test_host.h"

namespace {

std::vector<std::string> logLines;

// The event entry the link logs through: answers threshold queries with
// "unset" and keeps the messages.
int logEntry(const _EventParmsIn *in, _EventParmsOut *out)
{
    if (in->eventType == DVR_EVENT_LOG && (in->flags & DVR_FLAG_LOG_MESSAGE) && in->data)
        logLines.emplace_back(static_cast<const char *>(in->data));
    else if (in->eventType == DVR_EVENT_LOG && (in->flags & DVR_FLAG_LOG_QUERY))
        out->result = -1;
    return 0;
}

size_t logged(const std::string &text)
{
    size_t count = 0;
    for (const std::string &line : logLines)
        count += line == text;
    return count;
}

using Bytes = std::vector<uint8_t>;

// The plugins, in load order: the second and the last share their target
// bits (16-27), so the last never gets a packet; the third exports no IOCTL.
constexpr int kPlugins = 4;
constexpr uint32_t kPluginIds[kPlugins] = {0x00060000, 0x00050000, 0x00070000, 0x0005ABCD};
constexpr bool kHasIoctl[kPlugins] = {true, true, false, true};

// The plugin a packet goes to: the first whose ID matches its target.
int addressee(uint32_t target)
{
    for (int p = 0; p < kPlugins; ++p)
        if (((kPluginIds[p] << 4) & 0xFFF00000u) == (target & 0xFFF00000u))
            return p;
    return -1;
}

struct Delivery {
    int plugin;
    Bytes bytes;
    bool operator==(const Delivery &other) const
    {
        return plugin == other.plugin && bytes == other.bytes;
    }
};

// What the link must do with the stream, from the reference cut.
struct Expected {
    std::vector<Delivery> delivered;
    std::vector<Bytes> answers;  // plugin packets whose tag is odd are answered
    std::vector<bool> background;
    ParentLink::Program program;
    int stops = 0;
    size_t badLengths = 0;
    bool settings = false;
};

bool answered(const uint8_t *packet) { return wordAt(packet + 12) & 1; }

void expect(const CutItem &item, Expected &expected)
{
    if (item.badLength) {
        ++expected.badLengths;
        return;
    }
    const uint32_t command = wordAt(item.bytes.data() + 8);
    if (command == DVR_IPC_STOP) {
        ++expected.stops;
    } else if (command == DVR_IPC_SETTINGS && item.length > DVR_IPC_HEADER_SIZE) {
        // The payload's strings by position; a NUL ends each, and so does the end.
        std::vector<std::string> strings(1);
        for (size_t i = DVR_IPC_HEADER_SIZE; i < item.bytes.size(); ++i) {
            if (item.bytes[i] == 0)
                strings.emplace_back();
            else
                strings.back().push_back(static_cast<char>(item.bytes[i]));
        }
        expected.settings = true;
        expected.program.filename = strings[0];
        if (strings.size() >= 2)
            expected.program.version = strings[1];
        if (strings.size() >= 3)
            expected.background.push_back(strings[2] == "Background:true");
    } else {
        const int plugin = addressee(wordAt(item.bytes.data() + 4));
        if (plugin < 0 || !kHasIoctl[plugin])
            return;  // dropped without a word
        expected.delivered.push_back({plugin, item.bytes});
        if (answered(item.bytes.data()))
            expected.answers.push_back(item.bytes);
    }
}

uint32_t pickCommand(FuzzedDataProvider &input)
{
    switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0:
    case 1: return DVR_IPC_SETTINGS;
    case 2: return DVR_IPC_STOP;
    default: return input.ConsumeIntegral<uint32_t>();
    }
}

class Run;
Run *run = nullptr;

// One input's run: the link on one end of a socket pair, the parent's end here,
// and the plugin host on a test bus.
class Run {
public:
    Run()
    {
        run = this;
        fuzzCheck(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0, "socket pair");
        for (int p = 0; p < kPlugins; ++p)
            core.addPlugin(kPluginIds[p], "plugin", nullptr, nullptr).IOCTL =
                kHasIoctl[p] ? fakeIoctl(p) : nullptr;
        ParentLink::Handlers handlers;
        handlers.requestStop = [this] { ++stops; };
        handlers.deliver = [this](const PacketHeader &header, uint8_t *packet) {
            core.host.deliverParentPacket(header.target, packet, header.length);
        };
        handlers.background = [this](bool on) { background.push_back(on); };
        link = std::make_unique<ParentLink>(io, &logEntry, handlers);
        fuzzCheck(link->adopt(fds[0]), "the link adopts its end");
        link->startReceive();
    }
    ~Run()
    {
        link.reset();
        close(fds[1]);
        run = nullptr;
    }

    // A plugin's IOCTL with a packet from the parent; it answers packets
    // whose tag is odd with a copy, through the link as the core's entry does.
    int ipc(int plugin, const _IoctlParmsIn &in)
    {
        fuzzCheck(in.code == IOCTL_IPC && in.data &&
                      in.length == wordAt(static_cast<uint8_t *>(in.data)),
                  "a packet record: the packet in place, its length as in its header");
        const uint8_t *packet = static_cast<const uint8_t *>(in.data);
        delivered.push_back({plugin, Bytes(packet, packet + in.length)});
        if (answered(packet)) {
            void *copy = std::malloc(in.length);
            std::memcpy(copy, packet, in.length);
            fuzzCheck(link->queuePacket(copy, in.length) == DVR_RESULT_OK,
                      "an answer accepted while the link is up");
        }
        return wordAt(packet + 12) & 2 ? -1 : 0;  // some fail, which changes nothing
    }

    template <int N>
    static int pluginIoctl(const _IoctlParmsIn *in, _IoctlParmsOut *)
    {
        return run->ipc(N, *in);
    }
    static DvrIoctlFn fakeIoctl(int plugin)
    {
        static const DvrIoctlFn ioctls[kPlugins] = {pluginIoctl<0>, pluginIoctl<1>, pluginIoctl<2>,
                                                    pluginIoctl<3>};
        return ioctls[plugin];
    }

    // Writes one record, turning the I/O context while the socket is full.
    void write(const uint8_t *bytes, size_t size)
    {
        for (int tries = 0; ::send(fds[1], bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL) < 0; ++tries) {
            fuzzCheck(errno == EAGAIN && tries < 100000, "the link takes what the parent writes");
            turn();
        }
    }

    // One turn of the I/O thread, then the parent reads what came.
    void turn()
    {
        if (io.stopped())
            io.restart();
        io.poll();
        uint8_t record[DVR_IPC_MAX_PACKET + 1];
        for (;;) {
            const ssize_t n = recv(fds[1], record, sizeof record, MSG_DONTWAIT);
            if (n <= 0)
                break;
            answers.emplace_back(record, record + n);
        }
    }

    // Turns until the link has taken every record and sent every answer.
    void settle(size_t answersDue)
    {
        for (int turns = 0;; ++turns) {
            turn();
            int unread = 0;
            fuzzCheck(ioctl(fds[0], FIONREAD, &unread) == 0, "bytes the link has not read");
            if (unread == 0 && answers.size() >= answersDue)
                return;
            fuzzCheck(turns < 100000, "the link settles");
        }
    }

    void hangUp()
    {
        close(fds[1]);
        fds[1] = -1;
        for (int turns = 0; !link->lost(); ++turns) {
            fuzzCheck(turns < 100000, "the link notices the parent is gone");
            io.restart();
            io.poll();
        }
    }

    TestHost core;
    boost::asio::io_context io;
    std::unique_ptr<ParentLink> link;
    int fds[2] = {-1, -1};
    int stops = 0;
    std::vector<Delivery> delivered;
    std::vector<Bytes> answers;
    std::vector<bool> background;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool hangUp = input.ConsumeBool();
    const int turnEvery = input.ConsumeIntegralInRange(1, 80);
    const ParentStream parent = makeParentStream(input, pickCommand);

    ReferenceCut reference;
    std::vector<CutItem> cut;
    size_t at = 0;
    for (const size_t record : parent.records) {
        reference.receive(parent.bytes.data() + at, record, cut);
        at += record;
    }
    Expected expected;
    for (const CutItem &item : cut)
        expect(item, expected);

    logLines.clear();
    Run session;
    at = 0;
    for (size_t i = 0; i < parent.records.size(); ++i) {
        session.write(parent.bytes.data() + at, parent.records[i]);
        at += parent.records[i];
        if ((i + 1) % turnEvery == 0)
            session.turn();
    }
    session.settle(expected.answers.size());

    fuzzCheck(session.delivered == expected.delivered,
              "plugin packets whole, in order, at the first plugin of their target, none invented");
    fuzzCheck(session.answers == expected.answers,
              "answers reach the parent unchanged and in order");
    fuzzCheck(session.stops == expected.stops, "one stop request per stop packet");
    fuzzCheck(session.background == expected.background, "background switch from the third string");
    fuzzCheck(logged("bad ipc packet length") == expected.badLengths, "one message per bad length");
    const ParentLink::Program program = session.link->parentProgram();
    fuzzCheck(program.filename == expected.program.filename &&
                  program.version == expected.program.version,
              "parent program from the last settings");
    if (expected.settings)
        session.link->waitForSettings(std::chrono::hours(1));  // ends at once
    fuzzCheck(session.link->connected() && !session.link->lost(),
              "the link stays up while the parent does");

    if (hangUp) {
        session.hangUp();
        fuzzCheck(session.stops == expected.stops + 1, "losing the link requests one stop");
        fuzzCheck(logged("tornel ipc pipe disconnected") == 1, "the loss is logged once");
        fuzzCheck(!session.link->connected(), "a lost link is not connected");
        fuzzCheck(session.link->queuePacket(std::malloc(16), 16) == DVR_RESULT_REFUSED,
                  "packets refused once the link is lost");
    }
    return 0;
}
