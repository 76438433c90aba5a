#include "verdict.h"

#include <cstring>

#include "text_format.h"

namespace {

const char *stepName(ProbeResult::Step step)
{
    switch (step) {
    case ProbeResult::Step::Opening:
        return "while its library was being opened";
    case ProbeResult::Step::Loading:
        return "in Load";
    case ProbeResult::Step::Unloading:
        return "in Unload";
    default:
        return "after Load";
    }
}

// What became of a child that did not finish.
std::string brokenText(const ProbeResult &probe, const std::chrono::milliseconds &timeout)
{
    const char *where = stepName(probe.step);
    switch (probe.end) {
    case ProbeResult::End::Crashed:
        return format("crashed %s: signal %d (%s); it would take the core down with it", where,
                      probe.signal, strsignal(probe.signal));
    case ProbeResult::End::TimedOut:
        return format("hung %s: no answer within %.3g s; the core would wait for it for ever", where,
                      static_cast<double>(timeout.count()) / 1000.0);
    case ProbeResult::End::Exited:
        return format("ended the process %s (exit status %d); it would end the core with it", where,
                      probe.exitStatus);
    default:
        return "could not be inspected: " + probe.failure;
    }
}

}  // namespace

HeldIds::HeldIds()
{
    holders.emplace(DVR_PROVIDER_CORE, "the core itself");
}

const std::string *HeldIds::holder(uint32_t id) const
{
    const auto it = holders.find(id);
    return it == holders.end() ? nullptr : &it->second;
}

Verdict judge(const std::string &fileName, const std::string &shownPath, const ProbeResult &probe,
              const std::chrono::milliseconds &timeout, HeldIds &held)
{
    using Kind = Verdict::Kind;
    const char *name = fileName.c_str();
    if (probe.end == ProbeResult::End::NotStarted)
        return {Kind::Broken, brokenText(probe, timeout)};
    if (!probe.opened) {
        if (!probe.openError.empty())
            return {Kind::Refused,
                    format("Core: Failed to load plugin '%s': %s", name, probe.openError.c_str())};
        return {Kind::Broken, brokenText(probe, timeout)};
    }
    if (!(probe.exported & entryBit(kLoad)))
        return {Kind::Refused, format("Core: Failed to load plugin: %s (missing symbol)", name)};
    if (!probe.loadCalled)
        return {Kind::Broken, brokenText(probe, timeout)};
    if (!probe.loadAccepted())
        return {Kind::Refused, format("plugin %s load returned %d error %d", name, probe.loadResult,
                                      probe.loadOut.error)};
    const unsigned long id = probe.loadOut.pluginId;
    if (held.holder(probe.loadOut.pluginId))
        return {Kind::Refused, format("plugin %s ID 0x%08lX already loaded", name, id)};
    if (idTooLarge(probe.loadOut.pluginId))
        return {Kind::Refused,
                format("plugin %s ID 0x%08lX exceeds the log level array size, set "
                       "LogLevelArraySize to 0xfff",
                       name, id)};
    held.take(probe.loadOut.pluginId, shownPath);
    if (probe.broken())
        return {Kind::Broken, brokenText(probe, timeout)};
    return {Kind::Loads, "loads"};
}
