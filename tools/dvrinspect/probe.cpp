#include "probe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *const kEntryPointNames[kEntryPointCount] = {"Load", "Unload", "Open", "Close",
                                                        "Read", "Write", "Seek", "IOCTL"};
const char *const kMangledEntryPointNames[kEntryPointCount] = {
    "_Z4LoadPK12_LoadParmsInP13_LoadParmsOut",
    "_Z6UnloadPK14_UnloadParmsInP15_UnloadParmsOut",
    "_Z4OpenPK12_OpenParmsInP13_OpenParmsOut",
    "_Z5ClosePK13_CloseParmsInP14_CloseParmsOut",
    "_Z4ReadPK12_ReadParmsInP13_ReadParmsOut",
    "_Z5WritePK13_WriteParmsInP14_WriteParmsOut",
    "_Z4SeekPKvPv",
    "_Z5IOCTLPK13_IoctlParmsInP14_IoctlParmsOut",
};

namespace {

// The child's reports to the parent: fixed-size frames, each written with
// one write(2) no larger than PIPE_BUF, so frames from several plugin threads
// never interleave and a frame cut short can only be the last.
enum FrameKind : uint32_t { kOpened = 1, kOpenFailed, kPosted, kLoaded, kUnloaded, kDone };

struct Frame {
    uint32_t kind;
    int32_t a, b, c;
    _LoadParmsOut loadOut;
    char text[1024];
};
static_assert(sizeof(Frame) <= PIPE_BUF, "a frame is written atomically");

// Posted events beyond this many are only counted.
constexpr uint32_t kMaxPostedLines = 64;
// One log line's text with its NUL, as the core cuts it.
constexpr size_t kLogTextSize = 512;

int reportFd = -1;
std::atomic<uint32_t> postsSeen{0};

Frame newFrame(FrameKind kind)
{
    Frame frame;
    std::memset(&frame, 0, sizeof frame);
    frame.kind = kind;
    return frame;
}

void sendFrame(const Frame &frame)
{
    ssize_t n;
    do
        n = write(reportFd, &frame, sizeof frame);
    while (n < 0 && errno == EINTR);
}

// A log text as the core reads it: at most `len` bytes (and 511), up to the
// first NUL.
void copyLogText(char *out, size_t size, const _EventParmsIn &in)
{
    const size_t n = in.len < size - 1 ? in.len : size - 1;
    if (in.data)
        std::memcpy(out, in.data, n);
    out[in.data ? n : 0] = '\0';
}

// The inspector's event entry: answers as the core would without a parent
// link and with every threshold unset, and reports what was posted.
int inspectorEntry(const _EventParmsIn *in, _EventParmsOut *out)
{
    _EventParmsOut ignored{};
    if (!out)
        out = &ignored;
    if (!in) {
        out->result = DVR_RESULT_REFUSED;
        return 0;
    }
    const unsigned type = in->eventType, provider = in->providerID, len = in->len;
    Frame frame = newFrame(kPosted);
    if (type == DVR_EVENT_PARENT_PACKET) {
        std::free(in->data);  // ownership passed to the entry
        out->result = DVR_RESULT_REFUSED;
        std::snprintf(frame.text, sizeof frame.text,
                      "a parent packet of %u bytes from 0x%08X (refused: no parent here)", len,
                      provider);
    } else if (type == DVR_EVENT_RELEASE) {
        std::snprintf(frame.text, sizeof frame.text, "a release of block %p from 0x%08X", in->data,
                      provider);
    } else if (provider == DVR_PROVIDER_TO_CORE) {
        out->result = DVR_RESULT_OK;
        std::snprintf(frame.text, sizeof frame.text,
                      "event type 0x%X flags 0x%08X with provider ID 0: taken by the core as a "
                      "read request, never logged or delivered",
                      type, static_cast<unsigned>(in->flags));
    } else if (type == DVR_EVENT_LOG && (in->flags & DVR_FLAG_LOG_MESSAGE)) {
        out->result = DVR_RESULT_OK;
        char text[kLogTextSize];
        copyLogText(text, sizeof text, *in);
        std::snprintf(frame.text, sizeof frame.text, "log level %d from 0x%08X: %s",
                      static_cast<int>(in->level), provider, text);
    } else if (type == DVR_EVENT_LOG && (in->flags & DVR_FLAG_LOG_QUERY)) {
        out->result = -1;  // unset: every message passes
        return 0;
    } else {
        out->result = DVR_RESULT_OK;
        std::snprintf(frame.text, sizeof frame.text, "event type 0x%X flags 0x%08X from 0x%08X, %u bytes",
                      type, static_cast<unsigned>(in->flags), provider, len);
    }
    if (postsSeen.fetch_add(1) < kMaxPostedLines)
        sendFrame(frame);
    return 0;
}

// A symbol that the library itself defines (not one of its dependencies:
// dlsym on a handle also searches those, and libc has "read" and "open").
bool definedHere(void *library, const char *name)
{
    void *address = dlsym(library, name);
    if (!address)
        return false;
    struct link_map *own = nullptr, *owner = nullptr;
    Dl_info info;
    if (dlinfo(library, RTLD_DI_LINKMAP, &own) != 0 ||
        !dladdr1(address, &info, reinterpret_cast<void **>(&owner), RTLD_DL_LINKMAP))
        return false;
    return own == owner;
}

std::string changeCase(const char *name, bool upper)
{
    std::string text = name;
    for (char &c : text) {
        if (upper && c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        else if (!upper && c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

template <typename Fn>
Fn entryPoint(void *library, EntryPoint entry)
{
    return reinterpret_cast<Fn>(dlsym(library, kEntryPointNames[entry]));
}

// Reports what the library exports, under the core's names and otherwise.
void reportExports(void *library)
{
    Frame frame = newFrame(kOpened);
    EntryMask exported = 0, lower = 0, upper = 0, mangled = 0;
    for (int i = 0; i < kEntryPointCount; ++i) {
        const EntryPoint entry = static_cast<EntryPoint>(i);
        if (dlsym(library, kEntryPointNames[i])) {
            exported |= entryBit(entry);
            continue;
        }
        const std::string lowered = changeCase(kEntryPointNames[i], false);
        const std::string raised = changeCase(kEntryPointNames[i], true);
        if (lowered != kEntryPointNames[i] && definedHere(library, lowered.c_str()))
            lower |= entryBit(entry);
        if (raised != kEntryPointNames[i] && definedHere(library, raised.c_str()))
            upper |= entryBit(entry);
        if (definedHere(library, kMangledEntryPointNames[i]))
            mangled |= entryBit(entry);
    }
    frame.a = exported;
    frame.b = lower | (upper << 8) | (mangled << 16);
    sendFrame(frame);
}

// Calls Load with the records exactly as the core builds them, then Unload
// when Load accepted and it is asked for, reporting each.
void callLoad(void *library, DvrLoadFn load, bool callUnload)
{
    _LoadParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = DVR_LOAD_IN_VERSION;
    in.coreHandle = &postsSeen;  // opaque to the plugin
    in.eventEntry = inspectorEntry;
    _LoadParmsOut out;
    std::memset(&out, 0, sizeof out);
    out.size = sizeof out;
    out.version = DVR_LOAD_OUT_VERSION;
    const int result = load(&in, &out);

    const auto unload = entryPoint<DvrUnloadFn>(library, kUnload);
    const bool unloading = callUnload && unload && result == 0 && out.error == 0;
    Frame loaded = newFrame(kLoaded);
    loaded.a = result;
    loaded.b = unloading;
    const uint32_t posts = postsSeen.load();
    loaded.c = static_cast<int32_t>(posts > kMaxPostedLines ? posts - kMaxPostedLines : 0);
    loaded.loadOut = out;
    sendFrame(loaded);
    if (!unloading)
        return;

    _UnloadParmsIn unloadIn;
    std::memset(&unloadIn, 0, sizeof unloadIn);
    unloadIn.size = sizeof unloadIn;
    unloadIn.version = DVR_RECORD_VERSION;
    _UnloadParmsOut unloadOut;
    std::memset(&unloadOut, 0, sizeof unloadOut);
    unloadOut.size = sizeof unloadOut;
    unloadOut.version = DVR_RECORD_VERSION;
    Frame unloaded = newFrame(kUnloaded);
    unloaded.a = unload(&unloadIn, &unloadOut);
    unloaded.b = unloadOut.error;
    sendFrame(unloaded);
}

// Everything the child does; ends the process.
[[noreturn]] void runChild(const std::string &path, bool callUnload)
{
    dlerror();
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        Frame frame = newFrame(kOpenFailed);
        const char *reason = dlerror();
        std::snprintf(frame.text, sizeof frame.text, "%s", reason ? reason : "unknown error");
        sendFrame(frame);
        sendFrame(newFrame(kDone));
        _exit(0);
    }
    reportExports(library);
    if (const auto load = entryPoint<DvrLoadFn>(library, kLoad))
        callLoad(library, load, callUnload);
    sendFrame(newFrame(kDone));
    _exit(0);  // no static destructors or atexit handlers of the plugin's
}

// Applies one frame to the result; false for a frame that makes no sense.
bool apply(const Frame &frame, ProbeResult &result)
{
    switch (frame.kind) {
    case kOpened:
        result.opened = true;
        result.step = ProbeResult::Step::Loading;
        result.exported = static_cast<EntryMask>(frame.a);
        result.lowerCase = static_cast<EntryMask>(frame.b);
        result.upperCase = static_cast<EntryMask>(frame.b >> 8);
        result.mangled = static_cast<EntryMask>(frame.b >> 16);
        return true;
    case kOpenFailed:
        result.openError.assign(frame.text, strnlen(frame.text, sizeof frame.text));
        return true;
    case kPosted:
        result.posted.emplace_back(frame.text, strnlen(frame.text, sizeof frame.text));
        return true;
    case kLoaded:
        result.loadCalled = true;
        result.loadResult = frame.a;
        result.postsLeftOut = static_cast<uint32_t>(frame.c);
        result.loadOut = frame.loadOut;
        result.step = frame.b ? ProbeResult::Step::Unloading : ProbeResult::Step::Loaded;
        return true;
    case kUnloaded:
        result.unloadCalled = true;
        result.unloadResult = frame.a;
        result.unloadError = frame.b;
        return true;
    case kDone:
        result.step = ProbeResult::Step::Done;
        return true;
    default:
        return false;
    }
}

int millisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads frames until the child's end is closed, the last frame has come or
// the deadline passes (false). A trailing partial frame is dropped.
bool readFrames(int fd, std::chrono::steady_clock::time_point deadline, ProbeResult &result)
{
    std::vector<char> pending;
    char buffer[sizeof(Frame) * 4];
    while (result.step != ProbeResult::Step::Done) {
        pollfd entry{fd, POLLIN, 0};
        const int ready = poll(&entry, 1, millisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
        pending.insert(pending.end(), buffer, buffer + n);
        size_t used = 0;
        for (; pending.size() - used >= sizeof(Frame); used += sizeof(Frame)) {
            Frame frame;
            std::memcpy(&frame, pending.data() + used, sizeof frame);
            frame.text[sizeof frame.text - 1] = '\0';
            if (!apply(frame, result))
                return true;  // garbage: treat as the end of the reports
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
    return true;
}

// Waits for the child until the deadline; false when it is still running.
bool reap(pid_t child, std::chrono::steady_clock::time_point deadline, int &status)
{
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child)
            return true;
        if (done < 0 && errno != EINTR)
            return true;  // nothing left to wait for
        if (millisecondsLeft(deadline) == 0)
            return false;
        // The child has sent its last frame or closed the pipe: its exit is
        // a matter of moments.
        poll(nullptr, 0, 5);
    }
}

}  // namespace

ProbeResult probePlugin(const std::string &path, const ProbeOptions &options)
{
    ProbeResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        result.failure = std::string("cannot make a pipe: ") + std::strerror(errno);
        return result;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        result.failure = std::string("cannot start a child process: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return result;
    }
    if (child == 0) {
        close(fds[0]);
        reportFd = fds[1];
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // A plugin's fault ends the child by its signal, as it would end the
        // core, even where a sanitizer's runtime has taken these signals.
        for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT})
            signal(fault, SIG_DFL);
        setpgid(0, 0);       // its own group, so that a hang is killed with its children
        dup2(STDERR_FILENO, STDOUT_FILENO);  // what the plugin prints stays off our report
        runChild(path, options.callUnload);
    }
    setpgid(child, child);
    close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    const bool answered = readFrames(fds[0], deadline, result);
    close(fds[0]);

    int status = 0;
    if (!answered || !reap(child, deadline, status)) {
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        result.end = ProbeResult::End::TimedOut;
    } else if (WIFSIGNALED(status)) {
        result.end = ProbeResult::End::Crashed;
        result.signal = WTERMSIG(status);
    } else if (result.step != ProbeResult::Step::Done) {
        result.end = ProbeResult::End::Exited;
        result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
        result.end = ProbeResult::End::Finished;
    }
    return result;
}
