// Subscription matching of events against a plugin's nine subscription words,
// and what the delivery loop knows of each plugin it delivers to.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/dvrplugin.h"

// Event-type bit of each subscription word, in word order.
constexpr uint32_t kSubscriptionBits[DVR_SUBSCRIBE_COUNT] = {
    DVR_EVENT_VIDEO_FRAME, DVR_EVENT_AUDIO_FRAME, DVR_EVENT_STATUS,
    DVR_EVENT_KIND_0x8,    DVR_EVENT_KIND_0x10,   DVR_EVENT_KIND_0x20,
    DVR_EVENT_LOG,         DVR_EVENT_KIND_0x80,   DVR_EVENT_KIND_0x400};

// Match value of a read request: top byte of flags moved down one bit (queued
// events use DVR_MATCH_VALUE, which moves it up).
constexpr uint32_t requestMatchValue(uint32_t flags)
{
    return ((flags >> 1) & 0x7F800000u) | (flags & 0x00FFFFFFu);
}

// True when, for some subscription bit the event type has, the plugin's word
// for it contains every bit of the match value.
inline bool subscriptionMatches(const uint32_t (&subscribe)[DVR_SUBSCRIBE_COUNT],
                                uint32_t eventType, uint32_t matchValue)
{
    for (int i = 0; i < DVR_SUBSCRIBE_COUNT; ++i)
        if ((eventType & kSubscriptionBits[i]) && (matchValue & ~subscribe[i]) == 0)
            return true;
    return false;
}

// One plugin as the delivery loop sees it: where its events and configuration
// documents go, and which events it takes. Entry points left null count as
// not exported.
struct Subscriber {
    uint32_t pluginId = 0;
    DvrWriteFn Write = nullptr;
    DvrIoctlFn IOCTL = nullptr;
    uint32_t subscribe[DVR_SUBSCRIBE_COUNT] = {};
    bool writable = false;
    std::string fileName;
};
