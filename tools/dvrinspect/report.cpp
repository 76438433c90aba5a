#include "report.h"

#include "text_format.h"

namespace {

// The subscription words, by index, with the event kind each one selects.
const char *const kSubscriptionKinds[DVR_SUBSCRIBE_COUNT] = {
    "video (0x1)", "audio (0x2)", "status (0x4)",
    "kind 0x8",    "kind 0x10",   "kind 0x20, also the close-order key",
    "log (0x40)",  "kind 0x80",   "kind 0x400"};

// The IDs the plugin guide hands out for one's own plugins.
const char *const kOwnIdAdvice =
    "give it an ID of its own from 0x00600000 to 0x00EF0000, in steps of 0x00010000 (lower "
    "slots are kept for the examples, 0x00500000 to 0x00520000, and the plugins that come with "
    "the core)";

// The file name without its last extension, ASCII letters lowered: the
// source name the core prints on the plugin's log lines.
std::string sourceNameOf(const std::string &fileName)
{
    const std::string::size_type dot = fileName.rfind('.');
    std::string name = dot == std::string::npos || dot == 0 ? fileName : fileName.substr(0, dot);
    for (char &c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return name;
}

std::string entryList(EntryMask mask)
{
    std::string names;
    for (int i = 0; i < kEntryPointCount; ++i)
        if (mask & entryBit(static_cast<EntryPoint>(i)))
            names += std::string(names.empty() ? "" : " ") + kEntryPointNames[i];
    return names.empty() ? "none" : names;
}

bool has(const ProbeResult &probe, EntryPoint entry) { return probe.exported & entryBit(entry); }

// Which flags a subscription word admits: the inverse of DVR_MATCH_VALUE.
std::string subscriptionText(uint32_t word)
{
    if (word == 0xFFFFFFFFu)
        return "every event (0xFFFFFFFF)";
    const uint32_t flags = (word & 0x00FFFFFFu) | ((word & 0xFE000000u) >> 1);
    if (flags == 0)
        return format("only events whose flags are 0 (word 0x%08X)", word);
    return format("events whose flags use no bits but 0x%08X (word 0x%08X)", flags, word);
}

std::string subscribedKinds(const _LoadParmsOut &out)
{
    std::string kinds;
    for (int i = 0; i < DVR_SUBSCRIBE_COUNT; ++i)
        if (out.subscribe[i])
            kinds += std::string(kinds.empty() ? "" : ", ") + kSubscriptionKinds[i];
    return kinds;
}

std::string defaultLevelText(const _LoadParmsOut &out)
{
    const int32_t level = out.defaultLogLevel;
    if (level == 0)
        return "0 (asks for nothing)";
    if (level < -1 || level > 100)
        return format("%d (ignored: outside -1..100)", level);
    if (((out.pluginId >> 16) & 0xFFFu) >= DVR_LOG_LEVEL_ARRAY_SIZE)
        return format("%d (not applied: the ID's log level index has no table entry)", level);
    return format("%d (applied)", level);
}

std::string threadsText(const ProbeResult &probe)
{
    const _LoadParmsOut &out = probe.loadOut;
    std::string threads;
    if (out.wantWorkerThread && has(probe, kIoctl))
        threads = "worker (wantWorkerThread, IOCTL exported)";
    if (out.readable && has(probe, kRead))
        threads += std::string(threads.empty() ? "" : "; ") + "reader (readable, Read exported)";
    return threads.empty() ? "none" : threads;
}

// Likely reasons why entry points are missing: other spellings in the library.
void addExportWarnings(const ProbeResult &probe, std::vector<std::string> &warnings)
{
    const EntryMask found = probe.lowerCase | probe.upperCase | probe.mangled;
    if (!has(probe, kLoad) && probe.exported == 0 && found == 0)
        warnings.push_back(
            "exports none of the eight entry points, so the core refuses it (\"missing symbol\"): "
            "it was probably built with -fvisibility=hidden without including "
            "plugin/dvrplugin_entry.h, whose declarations export them (DVR_PLUGIN_EXPORT); "
            "include it in the file that defines them");
    else if (!has(probe, kLoad) && !(found & entryBit(kLoad)))
        warnings.push_back(
            "exports no Load, the one entry point the core requires, so it refuses the file "
            "(\"missing symbol\"): define int Load(const _LoadParmsIn *, _LoadParmsOut *) with C "
            "linkage, declared by plugin/dvrplugin_entry.h");
    for (int i = 0; i < kEntryPointCount; ++i) {
        const EntryPoint entry = static_cast<EntryPoint>(i);
        const char *name = kEntryPointNames[i];
        const char *effect = entry == kLoad ? "the core refuses the file (\"missing symbol\")"
                                            : "the core never calls it";
        if (probe.lowerCase & entryBit(entry))
            warnings.push_back(format("exports its %s entry point in lower case, where the core "
                                      "looks for \"%s\" exactly, so %s: rename it %s",
                                      name, name, effect, name));
        if (probe.upperCase & entryBit(entry))
            warnings.push_back(format("exports its %s entry point in upper case, where the core "
                                      "looks for \"%s\" exactly, so %s: rename it %s",
                                      name, name, effect, name));
        if (probe.mangled & entryBit(entry))
            warnings.push_back(format(
                "exports %s only under its C++ name %s, so %s: it was compiled as C++ without "
                "extern \"C\"; include plugin/dvrplugin_entry.h in the file that defines it (its "
                "declarations give C linkage), or wrap the definition in extern \"C\"",
                name, kMangledEntryPointNames[i], effect));
    }
}

void addIdWarnings(const ProbeResult &probe, const std::vector<SharedId> &shared,
                   std::vector<std::string> &warnings)
{
    const uint32_t id = probe.loadOut.pluginId;
    if (id == 0)
        warnings.push_back(std::string("ID 0 addresses the core: the core accepts the plugin, "
                                       "but takes every event it posts with provider ID 0 as a "
                                       "request to the core, so its log lines vanish; ") +
                           kOwnIdAdvice);
    if ((id & 0x000FFFFFu) == 0 && (id & 0xFF000000u) != 0)
        warnings.push_back(format("ID 0x%08X looks like a parent-packet target (the ID shifted "
                                  "left by four): return 0x%08X (the target >> 4) as the ID; "
                                  "DVR_IPC_TARGET(id) gives the target",
                                  id, id >> 4));
    if (idTooLarge(id))
        warnings.push_back(format("ID 0x%08X has bits 24-27 set, beyond the core's 255-entry log "
                                  "level tables: the core refuses it, and although its message "
                                  "names LogLevelArraySize, no setting makes this ID load; %s",
                                  id, kOwnIdAdvice));
    for (const SharedId &other : shared)
        warnings.push_back(
            other.thisRefused
                ? format("ID 0x%08X is already held by %s, which loads first: the core refuses "
                         "this file (\"already loaded\"); %s",
                         id, other.other.c_str(), kOwnIdAdvice)
                : format("ID 0x%08X is also the ID of %s, which loads later: the core refuses "
                         "that file (\"already loaded\"); give each plugin an ID of its own",
                         id, other.other.c_str()));
}

void addRequestWarnings(const ProbeResult &probe, std::vector<std::string> &warnings)
{
    const _LoadParmsOut &out = probe.loadOut;
    const std::string kinds = subscribedKinds(out);
    if (!kinds.empty() && !out.writable)
        warnings.push_back(
            "subscribes to " + kinds + " but leaves writable 0: Write is never called with "
            "events; set writable = 1" +
            (out.readable ? std::string(" (as it is readable, its subscriptions now only select "
                                        "the read requests that start its Read)")
                          : std::string()));
    if (out.wantWorkerThread && !has(probe, kIoctl))
        warnings.push_back("asks for a worker thread but exports no IOCTL, so the core starts "
                           "none: export IOCTL and run the worker in it for IOCTL_RUN_WORKER, or "
                           "clear wantWorkerThread");
    if (out.readable && !has(probe, kRead))
        warnings.push_back("is readable but exports no Read, so the core starts no reader and "
                           "no read requests reach it: export Read, or clear readable");
    if (out.writable && !has(probe, kWrite))
        warnings.push_back("is writable but exports no Write, so no event reaches it: export "
                           "Write, or clear writable");
}

void line(std::FILE *out, const char *label, const std::string &value)
{
    std::fprintf(out, "  %-18s %s\n", label, value.c_str());
}

void printRequests(std::FILE *out, const std::string &fileName, const ProbeResult &probe)
{
    const _LoadParmsOut &answer = probe.loadOut;
    const uint32_t id = answer.pluginId;
    line(out, "ID", format("0x%08X", id));
    line(out, "log level index", format("%u (0x%03X)", (id >> 16) & 0xFFFu, (id >> 16) & 0xFFFu));
    line(out, "log source name", sourceNameOf(fileName));
    line(out, "parent target", format("0x%08X", DVR_IPC_TARGET(id)));
    bool any = false;
    for (int i = 0; i < DVR_SUBSCRIBE_COUNT; ++i) {
        if (!answer.subscribe[i])
            continue;
        line(out, any ? "" : "subscriptions",
             std::string(kSubscriptionKinds[i]) + ": " + subscriptionText(answer.subscribe[i]));
        any = true;
    }
    if (!any)
        line(out, "subscriptions", "none");
    line(out, "writable", answer.writable ? "yes" : "no");
    line(out, "readable", answer.readable ? "yes" : "no");
    line(out, "threads", threadsText(probe));
    line(out, "default log level", defaultLevelText(answer));
}

}  // namespace

std::vector<std::string> warningsFor(const ProbeResult &probe, const std::vector<SharedId> &shared)
{
    std::vector<std::string> warnings;
    if (probe.opened)
        addExportWarnings(probe, warnings);
    if (probe.loadAccepted()) {
        addIdWarnings(probe, shared, warnings);
        addRequestWarnings(probe, warnings);
    }
    return warnings;
}

void printReport(std::FILE *out, const std::string &shownPath, const std::string &fileName,
                 const ProbeResult &probe, const Verdict &verdict,
                 const std::vector<std::string> &warnings)
{
    std::fprintf(out, "%s\n", shownPath.c_str());
    if (probe.opened) {
        const EntryMask missing = static_cast<EntryMask>(~probe.exported);
        line(out, "entry points", entryList(probe.exported) + " (missing: " + entryList(missing) + ")");
    }
    if (probe.loadAccepted())
        printRequests(out, fileName, probe);
    if (probe.loadCalled)
        line(out, "Load returned", format("%d, error %d", probe.loadResult, probe.loadOut.error));
    for (size_t i = 0; i < probe.posted.size(); ++i)
        line(out, i == 0 ? "posted" : "", probe.posted[i]);
    if (probe.postsLeftOut)
        line(out, probe.posted.empty() ? "posted" : "",
             format("... and %u more events", static_cast<unsigned>(probe.postsLeftOut)));
    if (probe.unloadCalled)
        line(out, "Unload returned", format("%d, error %d", probe.unloadResult, probe.unloadError));
    switch (verdict.kind) {
    case Verdict::Kind::Loads:
        line(out, "verdict", "loaded");
        break;
    case Verdict::Kind::Refused:
        line(out, "verdict", "refused: " + verdict.text);
        break;
    case Verdict::Kind::Broken:
        line(out, "verdict", "not inspected: " + verdict.text);
        break;
    }
    for (const std::string &warning : warnings)
        std::fprintf(out, "warning: %s\n", warning.c_str());
}
