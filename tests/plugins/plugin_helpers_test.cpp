// The plugin authors' helpers (include/plugin/dvrplugin_helpers.h), against a
// recording stand-in for the core's event entry. Compiled as C++ here; the
// example plugins compile them as C.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/dvrplugin_helpers.h"

namespace {

struct Posted {
    _EventParmsIn in;
    std::string text; // log messages: the text up to its NUL
};
std::vector<Posted> posted;
int32_t threshold = -1;

int recordingEntry(const _EventParmsIn *in, _EventParmsOut *out)
{
    Posted p{*in, {}};
    if (in->flags & DVR_FLAG_LOG_MESSAGE)
        p.text = static_cast<const char *>(in->data);
    posted.push_back(p);
    out->result = (in->flags & DVR_FLAG_LOG_QUERY) ? threshold : DVR_RESULT_OK;
    return 0;
}

constexpr uint32_t kId = 0x00770000u;

TEST(PluginHelpers, LogAsksTheThresholdAndPostsOnlyWhatPassesIt)
{
    for (int32_t set : {-1, 50}) {
        threshold = set;
        posted.clear();
        dvr_log(recordingEntry, kId, 0, "low %d", 1);
        dvr_log(recordingEntry, kId, 50, "high %d", 2);
        std::vector<std::string> texts;
        for (const Posted &p : posted)
            texts.push_back(p.in.flags == DVR_FLAG_LOG_QUERY ? "?" : p.text);
        const std::vector<std::string> expected =
            set == -1 ? std::vector<std::string>{"?", "low 1", "?", "high 2"}
                      : std::vector<std::string>{"?", "?", "high 2"};
        EXPECT_EQ(texts, expected) << "threshold " << set;
    }
}

TEST(PluginHelpers, LogPostsAtMost511CharactersAndTheNul)
{
    threshold = -1;
    posted.clear();
    dvr_log(recordingEntry, kId, 75, "%s", std::string(600, 'x').c_str());
    ASSERT_EQ(posted.size(), 2u);
    const _EventParmsIn &in = posted[1].in;
    EXPECT_EQ(in.size, sizeof(_EventParmsIn));
    EXPECT_EQ(in.version, DVR_EVENT_PARMS_VERSION);
    EXPECT_EQ(in.providerID, kId);
    EXPECT_EQ(in.eventType, DVR_EVENT_LOG);
    EXPECT_EQ(in.flags, DVR_FLAG_FLOW_CONTROL | DVR_FLAG_LOG_MESSAGE);
    EXPECT_EQ(in.level, 75);
    EXPECT_EQ(in.len, 512u);
    EXPECT_EQ(posted[1].text, std::string(511, 'x'));
}

TEST(PluginHelpers, ReleaseNamesTheBlockAndItsHolder)
{
    posted.clear();
    int block = 0;
    dvr_release(recordingEntry, kId, &block);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].in.eventType, DVR_EVENT_RELEASE);
    EXPECT_EQ(posted[0].in.data, &block);
    EXPECT_EQ(posted[0].in.providerID, kId);
}

} // namespace
