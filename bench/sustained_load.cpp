#include "sustained_load.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "reference_queues.h"

namespace {

constexpr int kPlugins = 3;
constexpr int kProducers = 2;
constexpr unsigned kWindow = 64;
constexpr int64_t kLead = kWindow - 1;
constexpr uint32_t kMinBytes = 2 * 1024;
constexpr uint32_t kMaxBytes = 200 * 1024;

// In the child process; the delivery thread alone touches the plain ones.
sem_t window;  // events that may still be posted
sem_t posted;  // events posted and not yet counted below
int64_t events = 0;
int64_t counted = 0;  // events known to be posted
int64_t delivered = 0;
uint64_t writes = 0;
uint64_t waits = 0;

// Returns once `target` events (at most all of them) have been posted.
void awaitPosted(int64_t target)
{
    for (target = std::min(target, events); counted < target; ++counted) {
        if (sem_trywait(&posted) == 0)
            continue;
        ++waits;
        while (sem_wait(&posted) != 0) {
        }
    }
}

// Every event reaches the three subscribers in turn; the last makes sure
// the queue holds more and lets one more in.
int sustainedWrite(const _WriteParmsIn *, _WriteParmsOut *)
{
    if (writes++ % kPlugins == kPlugins - 1) {
        ++delivered;
        awaitPosted(delivered + kLead);
        sem_post(&window);
    }
    return 0;
}

struct Outcome {
    bool complete;
    double seconds;
    uint64_t waits;
    long peakKiB;
};

long peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

Outcome runHere(bool bus)
{
    sem_init(&window, 0, kWindow);
    sem_init(&posted, 0, 0);
    ProducerLoad load;
    load.minBytes = kMinBytes;
    load.maxBytes = kMaxBytes;
    load.producers = kProducers;
    load.events = events;
    load.window = &window;
    load.posted = &posted;
    const auto start = std::chrono::steady_clock::now();
    if (bus)
        runEventBus(load, kPlugins, sustainedWrite);
    else
        runBareQueue(load, kPlugins, sustainedWrite);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    return {writes == uint64_t(events) * kPlugins, took.count(), waits, peakResidentKiB()};
}

// Runs one queue in a child process and reads back what it measured.
bool runInChild(bool bus, Outcome &outcome)
{
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        const Outcome measured = runHere(bus);
        const bool sent = write(ends[1], &measured, sizeof measured) == ssize_t(sizeof measured);
        _exit(sent ? 0 : 1);
    }
    close(ends[1]);
    const bool received =
        child > 0 && read(ends[0], &outcome, sizeof outcome) == ssize_t(sizeof outcome);
    close(ends[0]);
    int status = 0;
    if (child > 0)
        waitpid(child, &status, 0);
    return received && WIFEXITED(status) && WEXITSTATUS(status) == 0 && outcome.complete;
}

}  // namespace

int runSustainedLoad(int argc, char **argv)
{
    events = argc == 3 ? std::atoll(argv[2]) : 0;
    if (events <= 0) {
        std::fprintf(stderr, "usage: %s --sustained EVENTS\n", argv[0]);
        return 2;
    }
    std::printf("events=%lld\nmin_bytes=%u\nmax_bytes=%u\nproducers=%d\nwindow=%u\nlead=%lld\n",
                static_cast<long long>(events), kMinBytes, kMaxBytes, kProducers, kWindow,
                static_cast<long long>(kLead));
    bool allDelivered = true;
    for (const bool bus : {true, false}) {
        const char *name = bus ? "dvrcore" : "bare";
        Outcome outcome{};
        if (!runInChild(bus, outcome)) {
            std::fprintf(stderr, "%s: not every event was delivered\n", name);
            allDelivered = false;
            continue;
        }
        std::printf("%s_peak_kib=%ld\n%s_events_per_s=%.0f\n%s_seconds=%.1f\n%s_waits=%llu\n",
                    name, outcome.peakKiB, name, double(events) / outcome.seconds, name,
                    outcome.seconds, name, static_cast<unsigned long long>(outcome.waits));
        std::fflush(stdout);
    }
    return allDelivered ? 0 : 1;
}
