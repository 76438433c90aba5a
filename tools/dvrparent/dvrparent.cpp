// dvrparent: a small stand-in for the supervising parent process, for
// development and tests. It creates the sequenced-packet socket pair, starts
// the core with its end as the descriptor argument, sends the settings, turns
// Ctrl-C and SIGTERM into the stop packet, prints every packet the plugins
// send up, and sends packets to plugin targets from its command line or from
// standard input. It exits with the core's status.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packets.h"

namespace {

void usage(const char *self)
{
    std::fprintf(stderr,
                 "Usage: %s [options] [--] CORE [ARGUMENT...]\n"
                 "Starts CORE with the descriptor of a sequenced-packet socket as its last\n"
                 "argument and plays its parent on the other end.\n"
                 "  -n, --name NAME        program file name in the settings (dvrparent)\n"
                 "  -v, --version VERSION  program version in the settings (1.0)\n"
                 "  -b, --background       settings say \"Background:true\" (console off)\n"
                 "  -S, --no-settings      never send the settings\n"
                 "  -p, --packet T:C[:TEXT]\n"
                 "                         after the settings, send a packet with target T,\n"
                 "                         command C and TEXT as payload (repeatable)\n"
                 "  -e, --every SECONDS    send the --packet list again every SECONDS\n"
                 "  -i, --stdin            read packets from standard input, one per line:\n"
                 "                         \"TARGET COMMAND [TEXT]\", or \"stop\"\n"
                 "  -q, --quiet            print nothing of the packets from the core\n"
                 "Numbers take C notation (0x...). A plugin's target is its ID shifted left\n"
                 "by 4 bits: ID 0x00500000 is target 0x05000000. Ctrl-C or SIGTERM sends the\n"
                 "stop packet; a second one, a second or more later, sends SIGTERM to the core.\n",
                 self);
}

struct Options {
    std::string name = "dvrparent";
    std::string version = "1.0";
    bool background = false;
    bool settings = true;
    bool readStdin = false;
    bool quiet = false;
    int every = 0;
    std::vector<std::vector<uint8_t>> packets;
    std::vector<char *> core;
};

bool parseOptions(int argc, char **argv, Options &options)
{
    int i = 1;
    auto value = [&](const char *option) -> const char * {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "dvrparent: %s needs a value\n", option);
            return nullptr;
        }
        return argv[++i];
    };
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string arg = argv[i];
        const char *v = nullptr;
        if (arg == "--") {
            ++i;
            break;
        } else if (arg == "-b" || arg == "--background") {
            options.background = true;
        } else if (arg == "-S" || arg == "--no-settings") {
            options.settings = false;
        } else if (arg == "-i" || arg == "--stdin") {
            options.readStdin = true;
        } else if (arg == "-q" || arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "-n" || arg == "--name") {
            if (!(v = value(argv[i])))
                return false;
            options.name = v;
        } else if (arg == "-v" || arg == "--version") {
            if (!(v = value(argv[i])))
                return false;
            options.version = v;
        } else if (arg == "-e" || arg == "--every") {
            if (!(v = value(argv[i])))
                return false;
            options.every = std::atoi(v);
        } else if (arg == "-p" || arg == "--packet") {
            std::vector<uint8_t> packet;
            if (!(v = value(argv[i])) || !parsePacketSpec(v, ':', packet)) {
                std::fprintf(stderr, "dvrparent: bad packet \"%s\"\n", v ? v : "");
                return false;
            }
            options.packets.push_back(std::move(packet));
        } else {
            return false;
        }
    }
    options.core.assign(argv + i, argv + argc);
    return !options.core.empty();
}

class Parent {
public:
    explicit Parent(Options options) : options(std::move(options)) {}
    int run();

private:
    bool start();
    void sendAll(const std::vector<std::vector<uint8_t>> &packets);
    void send(const std::vector<uint8_t> &packet);
    void onSignal();
    void onCorePacket();
    void onStdinLine();
    bool reap();

    Options options;
    int socket = -1;
    int signals = -1;
    pid_t core = -1;
    int coreStatus = 0;
    int stopsSent = 0;
    std::chrono::steady_clock::time_point firstStop;
    std::string stdinBuffer;
};

bool Parent::start()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
        std::perror("dvrparent: socketpair");
        return false;
    }
    socket = fds[0];
    fcntl(socket, F_SETFD, FD_CLOEXEC);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    signals = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    const std::string descriptor = std::to_string(fds[1]);
    core = fork();
    if (core == 0) {
        // The core gets a process group of its own, so a Ctrl-C reaches only
        // this parent, which turns it into the stop packet.
        setpgid(0, 0);
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
        std::vector<char *> args = options.core;
        args.push_back(const_cast<char *>(descriptor.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        std::fprintf(stderr, "dvrparent: cannot start %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    close(fds[1]);
    if (core < 0) {
        std::perror("dvrparent: fork");
        return false;
    }
    return true;
}

int Parent::run()
{
    if (!start())
        return 1;
    if (options.settings)
        send(settingsPacket(options.name, options.version, options.background));
    sendAll(options.packets);
    auto nextRound = std::chrono::steady_clock::now() + std::chrono::seconds(options.every);
    for (;;) {
        pollfd fds[3] = {{signals, POLLIN, 0}, {socket, POLLIN, 0},
                         {options.readStdin ? 0 : -1, POLLIN, 0}};
        int timeout = -1;
        if (options.every > 0 && !options.packets.empty()) {
            const auto left = nextRound - std::chrono::steady_clock::now();
            timeout = std::max<int>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
        }
        if (poll(fds, 3, timeout) < 0 && errno != EINTR)
            break;
        if (fds[0].revents & POLLIN) {
            onSignal();
            if (reap())
                break;
        }
        if (fds[1].revents & POLLIN) {
            onCorePacket();
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            close(socket);  // the core has gone; wait for its exit status
            socket = -1;
        }
        if (fds[2].revents & (POLLIN | POLLHUP))
            onStdinLine();
        if (timeout >= 0 && std::chrono::steady_clock::now() >= nextRound) {
            sendAll(options.packets);
            nextRound += std::chrono::seconds(options.every);
        }
    }
    if (WIFSIGNALED(coreStatus))
        return 128 + WTERMSIG(coreStatus);
    return WEXITSTATUS(coreStatus);
}

void Parent::sendAll(const std::vector<std::vector<uint8_t>> &packets)
{
    for (const auto &packet : packets)
        send(packet);
}

void Parent::send(const std::vector<uint8_t> &packet)
{
    if (socket >= 0 && ::send(socket, packet.data(), packet.size(), MSG_NOSIGNAL) < 0)
        std::fprintf(stderr, "dvrparent: send: %s\n", std::strerror(errno));
}

void Parent::onSignal()
{
    signalfd_siginfo info;
    while (read(signals, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGCHLD)
            continue;
        // timeout(1) signals its child and then its whole process group,
        // so one request to stop can arrive twice at once: a repeat within
        // a second of the first is the same request, not a second one.
        const auto now = std::chrono::steady_clock::now();
        if (stopsSent++ == 0) {
            firstStop = now;
            std::printf("dvrparent: sending the stop packet\n");
            std::fflush(stdout);
            send(stopPacket());
        } else if (now - firstStop >= std::chrono::seconds(1)) {
            kill(core, SIGTERM);
        }
    }
}

bool Parent::reap()
{
    return waitpid(core, &coreStatus, WNOHANG) == core;
}

void Parent::onCorePacket()
{
    std::vector<uint8_t> bytes(1 << 17);
    const ssize_t n = recv(socket, bytes.data(), bytes.size(), 0);
    if (n <= 0) {
        close(socket);
        socket = -1;
        return;
    }
    bytes.resize(n);
    if (!options.quiet) {
        std::printf("dvrparent: %s\n", describePacket(bytes).c_str());
        std::fflush(stdout);
    }
}

void Parent::onStdinLine()
{
    char chunk[4096];
    const ssize_t n = read(0, chunk, sizeof chunk);
    if (n <= 0) {
        options.readStdin = false;  // end of input: stop reading it
        return;
    }
    stdinBuffer.append(chunk, n);
    size_t end;
    while ((end = stdinBuffer.find('\n')) != std::string::npos) {
        const std::string line = stdinBuffer.substr(0, end);
        stdinBuffer.erase(0, end + 1);
        std::vector<uint8_t> packet;
        if (line == "stop")
            send(stopPacket());
        else if (parsePacketSpec(line, ' ', packet))
            send(packet);
        else if (!line.empty())
            std::fprintf(stderr, "dvrparent: not a packet: \"%s\"\n", line.c_str());
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        usage(argv[0]);
        return 2;
    }
    return Parent(std::move(options)).run();
}
