#include "exposition.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <tuple>

namespace metrics
{
namespace
{

void sortByKeys(std::vector<Series> &series)
{
    std::sort(series.begin(), series.end(), [](const Series &a, const Series &b) {
        return std::tie(a.key1, a.key2) < std::tie(b.key1, b.key2);
    });
}

std::string hexId(uint32_t id)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIx32, id);
    return text;
}

// An ID from a document: printed signed there, a 32-bit word here.
std::string hexId(int64_t id)
{
    return hexId(uint32_t(id));
}

std::string eventTypeName(uint32_t type)
{
    switch (type) {
        case 0x1:
            return "video";
        case 0x2:
            return "audio";
        case 0x4:
            return "status";
        case 0x40:
            return "log";
        default: {
            char text[16];
            std::snprintf(text, sizeof text, "0x%" PRIx32, type);
            return text;
        }
    }
}

// A label value with backslash, double quote and line feed escaped.
std::string escaped(const std::string &value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string number(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

class Writer
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        text += "# HELP ";
        text += name;
        text += ' ';
        text += help;
        text += "\n# TYPE ";
        text += name;
        text += ' ';
        text += type;
        text += '\n';
        current = name;
    }
    // labels: "" or `a="x",b="y"` (values already escaped).
    void sample(const std::string &labels, const std::string &value)
    {
        text += current;
        if (!labels.empty())
            text += '{' + labels + '}';
        text += ' ';
        text += value;
        text += '\n';
    }
    void sample(const std::string &labels, uint64_t value) { sample(labels, std::to_string(value)); }
    void sample(const std::string &labels, int64_t value) { sample(labels, std::to_string(value)); }
    // A family of one sample without labels.
    template <typename Value>
    void single(const char *name, const char *type, const char *help, Value value)
    {
        family(name, type, help);
        sample("", value);
    }
    std::string text;

private:
    const char *current = "";
};

std::string pluginLabels(const PluginEntry &plugin)
{
    return "id=\"" + hexId(plugin.id) + "\",file=\"" + escaped(plugin.file) + "\"";
}

void writeEvents(Writer &out, const Snapshot &s)
{
    out.family("dvr_events_total", "counter",
               "Events delivered to the metrics plugin, by provider and event type.");
    for (const Series &series : s.events)
        out.sample("provider=\"" + hexId(series.key1) + "\",type=\"" + eventTypeName(series.key2) + "\"",
                   series.count1);
    out.family("dvr_event_bytes_total", "counter",
               "Data bytes of the events delivered to the metrics plugin.");
    for (const Series &series : s.events)
        out.sample("provider=\"" + hexId(series.key1) + "\",type=\"" + eventTypeName(series.key2) + "\"",
                   series.count2);
    out.family("dvr_video_frames_total", "counter", "Video frames delivered, by provider and frame kind.");
    for (const Series &series : s.frames) {
        out.sample("provider=\"" + hexId(series.key1) + "\",frame=\"key\"", series.count1);
        out.sample("provider=\"" + hexId(series.key1) + "\",frame=\"dependent\"", series.count2);
    }
    out.family("dvr_log_messages_total", "counter", "Log messages delivered, by source and level.");
    for (const Series &series : s.logs)
        out.sample(
            "source=\"" + hexId(series.key1) + "\",level=\"" + std::to_string(int32_t(series.key2)) + "\"",
            series.count1);
    out.single("dvr_config_documents_total", "counter", "Configuration documents received.",
               s.configDocuments);
    out.single("dvr_config_document_bytes_total", "counter", "Bytes of the configuration documents received.",
               s.configBytes);
}

void writeMemoryAndQueue(Writer &out, const Snapshot &s)
{
    out.single("dvr_memory_documents_total", "counter", "Memory-state documents received from the core.",
               s.memoryDocuments);
    if (s.throttling != Counters::kUnknown) {
        out.single("dvr_memory_throttling", "gauge", "1 while the core refuses frames because memory is low.",
                   s.throttling);
        out.single("dvr_memory_state_timestamp_seconds", "gauge",
                   "When the core sent its latest memory state.", s.throttlingTime);
    }
    out.single("dvr_queue_reports_total", "counter", "Queue reports of the core received.", s.queueReports);
    out.family("dvr_throttled_frames_total", "counter",
               "Frames the core refused for low memory, from its queue reports.");
    out.sample("kind=\"video\"", s.queue.throttledVideo);
    out.sample("kind=\"audio\"", s.queue.throttledAudio);
    out.single("dvr_queue_events_total", "counter",
               "Events the core's delivery loop took from its queue, from its queue reports.",
               s.queue.events);
    if (s.queueReports) {
        out.single("dvr_queue_length", "gauge", "Events waiting in the core's queue at its latest report.",
                   s.queue.queueLength);
        out.single("dvr_blocks_held", "gauge", "Data blocks held at the core's latest queue report.",
                   s.queue.blocks);
        out.single("dvr_blocks_held_bytes", "gauge",
                   "Bytes of the data blocks held at the core's latest queue report.", s.queue.blockBytes);
    }
    out.single("dvr_metrics_dropped_series_total", "counter",
               "Counts the metrics plugin could not keep: its series tables were full.", s.droppedSeries);
}

void writeStatus(Writer &out, const StatusDocument &status)
{
    out.family("dvr_core_info", "gauge", "The core's version and product family.");
    out.sample("product=\"" + escaped(status.product) + "\",version=\"" + escaped(status.coreVersion) + "\"",
               uint64_t(1));
    if (status.throttlingEnabled >= 0) {
        out.single("dvr_memory_throttling_enabled", "gauge",
                   "1 when the core watches its memory and throttles frames.", status.throttlingEnabled);
    }
    if (!status.parentVersion.empty()) {
        out.family("dvr_parent_info", "gauge", "The parent program that runs the core.");
        out.sample(
            "file=\"" + escaped(status.parentFile) + "\",version=\"" + escaped(status.parentVersion) + "\"",
            uint64_t(1));
    }
    out.family("dvr_plugin_loaded", "gauge", "Plugins the core loaded, by ID and file name.");
    for (const PluginEntry &plugin : status.plugins)
        out.sample(pluginLabels(plugin), uint64_t(1));
    out.family("dvr_plugin_load_failed", "gauge", "Plugin files the core could not load, with its reason.");
    for (const FailedEntry &failed : status.failed)
        out.sample("file=\"" + escaped(failed.file) + "\",error=\"" + escaped(failed.error) + "\"",
                   uint64_t(1));
    out.family("dvr_plugin_load_duration_seconds", "gauge", "How long each plugin's Load took.");
    for (const PluginEntry &plugin : status.plugins)
        out.sample(pluginLabels(plugin), number(double(plugin.loadTimeMs) / 1000));
    out.family("dvr_plugin_open_duration_seconds", "gauge", "How long each plugin's Open took.");
    for (const PluginEntry &plugin : status.plugins)
        out.sample(pluginLabels(plugin), number(double(plugin.openTimeMs) / 1000));
    out.family("dvr_plugin_open_code", "gauge", "What each plugin's Open returned (0 is success).");
    for (const PluginEntry &plugin : status.plugins)
        out.sample(pluginLabels(plugin), plugin.openCode);
    out.family("dvr_plugin_log_level", "gauge", "Each plugin's log threshold (-1: the plugin's default).");
    for (const PluginEntry &plugin : status.plugins)
        out.sample(pluginLabels(plugin), plugin.logLevel);
}

void writeProcess(Writer &out, const ProcessStats &p)
{
    out.single("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
               number(p.cpuSeconds));
    out.single("process_open_fds", "gauge", "Number of open file descriptors.", p.openFds);
    out.single("process_max_fds", "gauge", "Maximum number of open file descriptors.", p.maxFds);
    out.single("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.", p.virtualBytes);
    out.single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", p.residentBytes);
    out.single("process_start_time_seconds", "gauge",
               "Start time of the process since unix epoch in seconds.", number(p.startTimeSeconds));
}

}  // namespace

Snapshot takeSnapshot(const Counters &c)
{
    constexpr auto relaxed = std::memory_order_relaxed;
    Snapshot s;
    c.events.collect(s.events);
    c.frames.collect(s.frames);
    c.logs.collect(s.logs);
    sortByKeys(s.events);
    sortByKeys(s.frames);
    sortByKeys(s.logs);
    s.droppedSeries = c.events.droppedCount() + c.frames.droppedCount() + c.logs.droppedCount();
    s.throttling = c.throttling.load(relaxed);
    s.throttlingTime = c.throttlingTime.load(relaxed);
    s.memoryDocuments = c.memoryDocuments.load(relaxed);
    s.configDocuments = c.configDocuments.load(relaxed);
    s.configBytes = c.configBytes.load(relaxed);
    s.queueReports = c.queueReports.load(relaxed);
    s.queue.throttledVideo = c.throttledVideo.load(relaxed);
    s.queue.throttledAudio = c.throttledAudio.load(relaxed);
    s.queue.events = c.queueEvents.load(relaxed);
    s.queue.queueLength = c.queueLength.load(relaxed);
    s.queue.blocks = c.blocksHeld.load(relaxed);
    s.queue.blockBytes = c.blockBytesHeld.load(relaxed);
    return s;
}

std::string formatExposition(const Snapshot &snapshot)
{
    Writer out;
    if (snapshot.haveStatus)
        writeStatus(out, snapshot.status);
    writeEvents(out, snapshot);
    writeMemoryAndQueue(out, snapshot);
    if (snapshot.haveProcess)
        writeProcess(out, snapshot.process);
    return std::move(out.text);
}

}  // namespace metrics
