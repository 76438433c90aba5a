#include "entry_model.h"

namespace {

constexpr uint32_t kSubscriptionKinds = DVR_EVENT_VIDEO_FRAME | DVR_EVENT_AUDIO_FRAME |
                                        DVR_EVENT_STATUS | DVR_EVENT_KIND_0x8 |
                                        DVR_EVENT_KIND_0x10 | DVR_EVENT_KIND_0x20 |
                                        DVR_EVENT_LOG | DVR_EVENT_KIND_0x80 | DVR_EVENT_KIND_0x400;
constexpr int32_t kMaxDependentFrames = 765;
constexpr int kTableSize = 255;

}  // namespace

bool kindsMatch(uint32_t eventType, uint32_t subscribeWord, uint32_t matchValue)
{
    return (eventType & kSubscriptionKinds) != 0 && (matchValue & ~subscribeWord) == 0;
}

uint32_t readRequestMatchValue(uint32_t flags)
{
    return ((flags >> 1) & 0x7F800000u) | (flags & 0x00FFFFFFu);
}

void EntryModel::setLevel(uint32_t index, int8_t level)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (index < kTableSize)
        levels[index] = level;
}

int8_t EntryModel::level(uint32_t providerID)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto it = levels.find((providerID >> 16) & 0xFFF);
    return it == levels.end() ? -1 : it->second;
}

void EntryModel::setThrottling(bool active)
{
    std::lock_guard<std::mutex> lock(mutex);
    throttling = active;
}

void EntryModel::stop()
{
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
}

EntryModel::Answer EntryModel::expect(const _EventParmsIn &in, bool readThread)
{
    Answer answer;
    if (in.eventType == DVR_EVENT_RELEASE)
        return answer;
    if (in.eventType == DVR_EVENT_PARENT_PACKET) {
        answer.result = DVR_RESULT_REFUSED;  // no parent link here
        return answer;
    }
    if (in.providerID == DVR_PROVIDER_TO_CORE) {
        std::lock_guard<std::mutex> lock(mutex);
        if (in.eventType == DVR_EVENT_CANCEL_REQUEST)
            cancelled.insert(in.requestKey);
        else
            cancelled.erase(in.requestKey);
        answer.result = DVR_RESULT_OK;
        return answer;
    }
    if (in.eventType & DVR_EVENT_LOG) {
        const int8_t threshold = level(in.providerID);
        if (in.flags & DVR_FLAG_LOG_MESSAGE) {
            // Below a set threshold: dropped. Level 0 with none set: written only.
            if ((threshold >= 0 && in.level < threshold) || (threshold < 0 && in.level == 0))
                return answer;
        } else if (in.flags & DVR_FLAG_LOG_QUERY) {
            answer.result = threshold;
            return answer;
        }
    }
    return ordinary(in, readThread);
}

EntryModel::Answer EntryModel::ordinary(const _EventParmsIn &in, bool readThread)
{
    std::lock_guard<std::mutex> lock(mutex);
    Answer answer;
    if (stopping) {
        answer.result = DVR_RESULT_REFUSED;
        return answer;
    }
    if ((in.eventType & (DVR_EVENT_VIDEO_FRAME | DVR_EVENT_AUDIO_FRAME)) &&
        (in.flags & DVR_FLAG_FLOW_CONTROL)) {
        answer.result = frameGate(in);
        if (answer.result != DVR_RESULT_OK)
            return answer;
    }
    if (in.requestKey != 0 && (!readThread || cancelled.count(in.requestKey))) {
        answer.result = DVR_RESULT_REFUSED;
        return answer;
    }
    answer.result = DVR_RESULT_OK;
    answer.queued = true;
    return answer;
}

// Called with the mutex held.
int32_t EntryModel::frameGate(const _EventParmsIn &in)
{
    int32_t &counter = gate[in.providerID];
    if (throttling) {
        counter = 0;
        return DVR_RESULT_THROTTLED;
    }
    if (!(in.eventType & DVR_EVENT_VIDEO_FRAME))
        return DVR_RESULT_OK;
    if (in.frameType == DVR_FRAME_KEY) {
        counter = 1;
        return DVR_RESULT_OK;
    }
    if (counter == 0)
        return DVR_RESULT_NO_KEY_FRAME;
    if (counter <= kMaxDependentFrames)
        ++counter;
    return counter > kMaxDependentFrames ? DVR_RESULT_TOO_MANY_DEPENDENT : DVR_RESULT_OK;
}
