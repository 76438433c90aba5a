#include "events/status_report.h"

#include <locale>
#include <sstream>
#include <utility>
#include <vector>

#include "log/logging.h"

namespace {

const std::locale &groupingLocale()
{
    static const std::locale locale = [] {
        try {
            return std::locale("en_US.UTF-8");
        } catch (const std::exception &) {
            return std::locale::classic();
        }
    }();
    return locale;
}

}  // namespace

std::string groupedNumber(uint32_t value)
{
    std::ostringstream out;
    out.imbue(groupingLocale());
    out << value;
    return out.str();
}

std::string formatTopHolders(const std::unordered_map<uint32_t, uint32_t> &census)
{
    constexpr size_t kTop = 5;
    std::vector<std::pair<uint32_t, uint32_t>> top;
    for (const auto &entry : census) {
        auto pos = top.begin();
        while (pos != top.end() && pos->second >= entry.second)
            ++pos;
        top.insert(pos, entry);
        if (top.size() > kTop)
            top.resize(kTop);
    }
    std::ostringstream out;
    out.imbue(std::locale::classic());
    for (size_t i = 0; i < top.size(); ++i) {
        if (i)
            out << ", ";
        out << std::hex << top[i].first << ":" << std::dec << top[i].second;
    }
    return out.str();
}

void StatusReport::start(TimeSource::Clock::time_point now)
{
    lastReportTime = now;
    eventsCounter = 0;
}

void StatusReport::write(TimeSource::Clock::time_point now, size_t queueLeft, FrameGate &gate,
                         const RefBlockTable &blocks, DvrEventEntry entry)
{
    lastReportTime = now;
    const RefBlockTable::Counts counts = blocks.counts();
    logMessage(DVR_PROVIDER_CORE, entry, 25,
               "core event queue size: %zu, throttledframes:[v:%s a:%s], events:%s, refblks: %s (%s bytes)",
               queueLeft, groupedNumber(gate.takeThrottledVideo()).c_str(),
               groupedNumber(gate.takeThrottledAudio()).c_str(), groupedNumber(eventsCounter).c_str(),
               groupedNumber(counts.blockCount).c_str(), groupedNumber(counts.byteCount).c_str());
    logMessage(DVR_PROVIDER_CORE, entry, 25, "Top - %s", formatTopHolders(blocks.census()).c_str());
    eventsCounter = 0;
}
