// The parent link's receive path, through its real receive handler: the
// fuzzer plays the parent on the other end of a socket pair and writes a
// stream of settings, stop and plugin packets (with stray bytes and bad
// lengths among them) in records of random sizes, while the I/O context is
// turned by hand. What the link does is compared with a reference cut of the
// same records: each plugin packet handed on whole and in order, one stop
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

// What the link must do with the stream, from the reference cut.
struct Expected {
    std::vector<Bytes> delivered;
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
        expected.delivered.push_back(item.bytes);
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

// One input's run: the link on one end of a socket pair, the parent's end here.
class Run {
public:
    Run()
    {
        fuzzCheck(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0, "socket pair");
        ParentLink::Handlers handlers;
        handlers.requestStop = [this] { ++stops; };
        handlers.deliver = [this](const PacketHeader &header, uint8_t *packet) {
            fuzzCheck(header.length == wordAt(packet), "delivered length as in the header");
            delivered.emplace_back(packet, packet + header.length);
            if (answered(packet)) {  // a plugin answering with a copy, from inside its IOCTL
                void *copy = std::malloc(header.length);
                std::memcpy(copy, packet, header.length);
                fuzzCheck(link->queuePacket(copy, header.length) == DVR_RESULT_OK,
                          "an answer accepted while the link is up");
            }
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

    boost::asio::io_context io;
    std::unique_ptr<ParentLink> link;
    int fds[2] = {-1, -1};
    int stops = 0;
    std::vector<Bytes> delivered;
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
    Run run;
    at = 0;
    for (size_t i = 0; i < parent.records.size(); ++i) {
        run.write(parent.bytes.data() + at, parent.records[i]);
        at += parent.records[i];
        if ((i + 1) % turnEvery == 0)
            run.turn();
    }
    run.settle(expected.answers.size());

    fuzzCheck(run.delivered == expected.delivered, "plugin packets whole, in order, none invented");
    fuzzCheck(run.answers == expected.answers, "answers reach the parent unchanged and in order");
    fuzzCheck(run.stops == expected.stops, "one stop request per stop packet");
    fuzzCheck(run.background == expected.background, "background switch from the third string");
    fuzzCheck(logged("bad ipc packet length") == expected.badLengths, "one message per bad length");
    const ParentLink::Program program = run.link->parentProgram();
    fuzzCheck(program.filename == expected.program.filename &&
                  program.version == expected.program.version,
              "parent program from the last settings");
    if (expected.settings)
        run.link->waitForSettings(std::chrono::hours(1));  // ends at once
    fuzzCheck(run.link->connected() && !run.link->lost(), "the link stays up while the parent does");

    if (hangUp) {
        run.hangUp();
        fuzzCheck(run.stops == expected.stops + 1, "losing the link requests one stop");
        fuzzCheck(logged("tornel ipc pipe disconnected") == 1, "the loss is logged once");
        fuzzCheck(!run.link->connected(), "a lost link is not connected");
        fuzzCheck(run.link->queuePacket(std::malloc(16), 16) == DVR_RESULT_REFUSED,
                  "packets refused once the link is lost");
    }
    return 0;
}
