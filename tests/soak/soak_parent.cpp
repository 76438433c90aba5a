// soak_parent: the parent for a soak run of the real core with the hostile
// soak plugins. It starts the core on a pseudo-terminal (the core writes its
// log lines, the leak report among them, only to a terminal) and keeps
// everything the core writes there in a log file; it plays the parent on a
// sequenced-packet socket pair: the settings, random packets for the
// plugins, a count query to every soak plugin each second. It stops the core
// after a time or once the plugins have had a number of events accepted, by
// the stop packet or SIGTERM, and kills it if it does not exit in time.
//
// Exit status: the core's (0 when it stopped cleanly), 3 when it had to be
// killed, 4 when it could not be started.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "packets.h"
#include "plugin/dvrplugin.h"
#include "soak_protocol.h"

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t kSoakIds[SOAK_PLUGINS] = {SOAK_ID_0, SOAK_ID_1, SOAK_ID_2, SOAK_ID_3};

struct Options {
    double seconds = 120;
    uint64_t events = 0;
    bool bySignal = false;
    std::string log = "soak.log";
    int grace = 120;
    uint32_t seed = 1;
    int packetsPerSecond = 200;
    std::string core;
};

bool parse(int argc, char **argv, Options &o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue)
            o.seconds = std::atof(argv[++i]);
        else if (arg == "--events" && hasValue)
            o.events = std::strtoull(argv[++i], nullptr, 0);
        else if (arg == "--stop" && hasValue)
            o.bySignal = std::string(argv[++i]) == "signal";
        else if (arg == "--log" && hasValue)
            o.log = argv[++i];
        else if (arg == "--grace" && hasValue)
            o.grace = std::atoi(argv[++i]);
        else if (arg == "--seed" && hasValue)
            o.seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        else if (arg == "--packets" && hasValue)
            o.packetsPerSecond = std::atoi(argv[++i]);
        else if (arg[0] != '-' && o.core.empty())
            o.core = arg;
        else
            return false;
    }
    return !o.core.empty();
}

// Resident set of a process in KiB, 0 when unknown.
long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string word;
    while (status >> word)
        if (word == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    return 0;
}

class SoakParent {
public:
    explicit SoakParent(const Options &options) : o(options), random(options.seed) {}
    int run();

private:
    bool start();
    void send(const std::vector<uint8_t> &packet);
    void sendRandomPacket();
    void onPacket(const uint8_t *bytes, size_t length);
    void drainTerminal();
    uint64_t accepted() const;

    Options o;
    std::mt19937 random;
    int terminal = -1;
    int socket = -1;
    pid_t core = -1;
    FILE *log = nullptr;
    std::map<uint32_t, soak_counts> counts;  // latest answer of each soak plugin
    uint64_t packetsIn = 0;
};

bool SoakParent::start()
{
    terminal = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0)
        return false;
    const int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
    if (side < 0)
        return false;
    termios mode;
    tcgetattr(side, &mode);
    cfmakeraw(&mode);  // lines as the core wrote them
    tcsetattr(side, TCSANOW, &mode);
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        return false;
    socket = pair[0];
    const std::string descriptor = std::to_string(pair[1]);
    core = fork();
    if (core == 0) {
        const int nothing = open("/dev/null", O_RDONLY);
        dup2(nothing, 0);
        dup2(side, 1);
        dup2(side, 2);
        close(terminal);
        close(socket);
        execl(o.core.c_str(), o.core.c_str(), descriptor.c_str(), static_cast<char *>(nullptr));
        std::perror("soak_parent: exec");
        _exit(127);
    }
    close(side);
    close(pair[1]);
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    fcntl(socket, F_SETFL, O_NONBLOCK);
    return core > 0;
}

void SoakParent::send(const std::vector<uint8_t> &packet)
{
    // A full socket drops the packet: the core reads it again soon.
    ::send(socket, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

// A well-formed packet for a soak plugin or a target nobody has: any command
// but the core's own, any tag, a payload of up to 64 KiB.
void SoakParent::sendRandomPacket()
{
    const uint32_t target = random() % 8 < 7 ? DVR_IPC_TARGET(kSoakIds[random() % 4]) | (random() & 0xFFFFF)
                                             : random();
    uint32_t command = random();
    if (command == DVR_IPC_SETTINGS || command == DVR_IPC_STOP)
        command = 0x100;
    const size_t size = random() % 100 == 0 ? random() % (DVR_IPC_MAX_PACKET - 16) : random() % 512;
    std::string payload(size, '\0');
    for (char &c : payload)
        c = static_cast<char>(random());
    send(makePacket(target, command, payload, random()));
}

void SoakParent::onPacket(const uint8_t *bytes, size_t length)
{
    ++packetsIn;
    _IpcPacketHeader header;
    soak_counts answer;
    if (length != sizeof header + sizeof answer)
        return;
    std::memcpy(&header, bytes, sizeof header);
    if (header.command != SOAK_COUNT_ANSWER || header.length != length)
        return;
    std::memcpy(&answer, bytes + sizeof header, sizeof answer);
    counts[answer.slot] = answer;
}

uint64_t SoakParent::accepted() const
{
    uint64_t sum = 0;
    for (const auto &entry : counts)
        sum += entry.second.accepted;
    return sum;
}

void SoakParent::drainTerminal()
{
    char chunk[65536];
    ssize_t n;
    while ((n = read(terminal, chunk, sizeof chunk)) > 0)
        std::fwrite(chunk, 1, static_cast<size_t>(n), log);
}

int SoakParent::run()
{
    log = std::fopen(o.log.c_str(), "w");
    if (!log || !start()) {
        std::perror("soak_parent: cannot start the core");
        return 4;
    }
    send(settingsPacket("soak_parent", "1.0", false));
    const Clock::time_point begin = Clock::now();
    Clock::time_point nextSecond = begin, stopDeadline;
    bool stopping = false;
    int status = 0;
    long rssStart = 0, rssEnd = 0, rssMax = 0;
    double packetDebt = 0;
    std::vector<uint8_t> bytes(1 << 17);

    for (;;) {
        pollfd fds[2] = {{terminal, POLLIN, 0}, {socket, POLLIN, 0}};
        poll(fds, 2, 20);
        drainTerminal();
        ssize_t n;
        while ((n = recv(socket, bytes.data(), bytes.size(), MSG_DONTWAIT)) > 0)
            onPacket(bytes.data(), static_cast<size_t>(n));
        if (waitpid(core, &status, WNOHANG) == core)
            break;

        const Clock::time_point now = Clock::now();
        const double elapsed = std::chrono::duration<double>(now - begin).count();
        if (!stopping) {
            for (packetDebt += o.packetsPerSecond * 0.02; packetDebt >= 1; packetDebt -= 1)
                sendRandomPacket();
            if (now >= nextSecond) {
                nextSecond += std::chrono::seconds(1);
                for (uint32_t id : kSoakIds)
                    send(makePacket(DVR_IPC_TARGET(id), SOAK_COUNT_QUERY));
                const long rss = residentKiB(core);
                if (!rssStart && !counts.empty())
                    rssStart = rss;
                rssMax = std::max(rssMax, rss);
                if (static_cast<long>(elapsed) % 10 == 0)
                    std::printf("soak: %4.0f s, %llu events accepted, resident %ld KiB\n", elapsed,
                                static_cast<unsigned long long>(accepted()), rss), std::fflush(stdout);
            }
            if (elapsed >= o.seconds || (o.events && accepted() >= o.events)) {
                rssEnd = residentKiB(core);
                std::printf("soak: stopping after %.1f s, %llu events accepted, by %s\n", elapsed,
                            static_cast<unsigned long long>(accepted()),
                            o.bySignal ? "SIGTERM" : "the stop packet");
                std::fflush(stdout);
                if (o.bySignal)
                    kill(core, SIGTERM);
                else
                    send(stopPacket());
                stopping = true;
                stopDeadline = now + std::chrono::seconds(o.grace);
            }
        } else if (now >= stopDeadline) {
            std::printf("soak: FAILED: the core did not stop within %d s; killed\n", o.grace);
            kill(core, SIGKILL);
            waitpid(core, &status, 0);
            drainTerminal();
            std::fclose(log);
            return 3;
        }
    }
    drainTerminal();
    std::fclose(log);
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("soak: the core exited after %.1f s (%s); %llu events accepted by the plugins' "
                "count, %llu packets from the core; resident %ld KiB at start, %ld KiB at the "
                "stop, %ld KiB at most\n",
                seconds, WIFEXITED(status) ? ("status " + std::to_string(WEXITSTATUS(status))).c_str()
                                           : ("signal " + std::to_string(WTERMSIG(status))).c_str(),
                static_cast<unsigned long long>(accepted()),
                static_cast<unsigned long long>(packetsIn), rssStart, rssEnd, rssMax);
    if (!stopping)
        return 5;  // it stopped by itself
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "Usage: %s [--seconds S] [--events N] [--stop packet|signal] [--log FILE]\n"
                     "          [--grace S] [--seed N] [--packets PER_SECOND] CORE\n"
                     "Runs CORE (with the soak plugins beside it) on a terminal, plays its\n"
                     "parent, and stops it after S seconds (120) or N accepted events.\n",
                     argv[0]);
        return 2;
    }
    return SoakParent(options).run();
}
