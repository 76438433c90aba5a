// What the event entry must answer, as the plugin interface states it,
// written out plainly for the event entry target: the result word of each
// record, and whether the record goes on to the queue. It keeps the state the
// answers depend on (thresholds, the key-frame gate, cancelled request keys,
// throttling, the stop), changed by the target as it changes the core's.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>

#include "plugin/dvrplugin.h"

class EntryModel {
public:
    // The result word a producer presets; kept where the entry leaves it alone.
    static constexpr int32_t kUntouched = 0x5EED;

    struct Answer {
        int32_t result = kUntouched;
        bool queued = false;  // goes on to the queue and to the plugins
    };

    // The answer to `in`, posted from a thread that is serving a read request
    // or not. Requests to the core change the model as they change the core.
    Answer expect(const _EventParmsIn &in, bool readThread);

    void setLevel(uint32_t index, int8_t level);
    int8_t level(uint32_t providerID);
    void setThrottling(bool active);
    void stop();

private:
    Answer ordinary(const _EventParmsIn &in, bool readThread);
    int32_t frameGate(const _EventParmsIn &in);

    std::mutex mutex;
    std::map<uint32_t, int8_t> levels;      // index -> threshold; unset when absent
    std::map<uint32_t, int32_t> gate;       // provider -> frames since its key frame, plus one
    std::set<uint32_t> cancelled;
    bool throttling = false;
    bool stopping = false;
};

// Plugin matching as the interface states it: an event reaches a plugin that
// subscribes to one of its kinds with a word containing every bit of the
// match value.
bool kindsMatch(uint32_t eventType, uint32_t subscribeWord, uint32_t matchValue);
uint32_t readRequestMatchValue(uint32_t flags);
