// Subscription matching of events against a plugin's nine subscription words,
// and what the delivery loop knows of each plugin it delivers to.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>

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

// The subscriber a plugin's Load answer makes of it.
inline Subscriber subscriberFrom(const _LoadParmsOut &loadOut, DvrWriteFn write, DvrIoctlFn ioctl,
                                 std::string fileName)
{
    Subscriber subscriber;
    subscriber.pluginId = loadOut.pluginId;
    subscriber.Write = write;
    subscriber.IOCTL = ioctl;
    std::copy(std::begin(loadOut.subscribe), std::end(loadOut.subscribe), subscriber.subscribe);
    subscriber.writable = loadOut.writable != 0;
    subscriber.fileName = std::move(fileName);
    return subscriber;
}
