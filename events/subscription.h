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

// Every event-type bit that has a subscription word, and, by bit number,
// the index of its word (bits 0-7 are words 0-7, bit 10 is word 8).
constexpr uint32_t kSubscribedKinds = 0x04FFu;
constexpr uint8_t kSubscriptionWordOfBit[11] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 0, 8};

constexpr bool wordIndexesAgree()
{
    uint32_t all = 0;
    for (int i = 0; i < DVR_SUBSCRIBE_COUNT; ++i) {
        int bit = 0;
        while ((kSubscriptionBits[i] >> bit) != 1u)
            ++bit;
        if (kSubscriptionWordOfBit[bit] != i)
            return false;
        all |= kSubscriptionBits[i];
    }
    return all == kSubscribedKinds;
}
static_assert(wordIndexesAgree(), "one subscription word for each subscribed bit");

// True when, for some subscription bit the event type has, the plugin's word
// for it contains every bit of the match value. Only the event's own bits
// are visited: most events have one.
inline bool subscriptionMatches(const uint32_t (&subscribe)[DVR_SUBSCRIBE_COUNT],
                                uint32_t eventType, uint32_t matchValue)
{
    for (uint32_t bits = eventType & kSubscribedKinds; bits != 0; bits &= bits - 1)
        if ((matchValue & ~subscribe[kSubscriptionWordOfBit[__builtin_ctz(bits)]]) == 0)
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
