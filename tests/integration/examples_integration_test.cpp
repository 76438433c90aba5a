// The example plugins (examples/) in the real process: the camera's frames
// reach the recorder's file, and the log sink's file shows the log stream.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <boost/filesystem/operations.hpp>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "core_process.h"

#ifdef DVR_HAVE_EXAMPLES

namespace fs = boost::filesystem;

namespace {

std::string readAll(const fs::path &path)
{
    std::ifstream file(path.string(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The recorder's record header (examples/recorder/recorder.c).
struct RecordHeader {
    uint32_t eventType;
    uint32_t provider;
    uint32_t length;
    uint8_t frameType;
    uint8_t pad[3];
};

TEST(Examples, CameraFramesAreRecordedAndTheLogSinkKeepsTheLog)
{
    PluginDir dir;
    for (const char *name : {"camera.so", "recorder.so", "logsink.so"})
        fs::copy_file(fs::path(DVR_EXAMPLE_PLUGIN_DIR) / name, dir.root() / "plugins" / name);
    CoreProcess core(dir);
    core.start();

    const fs::path log = dir.root() / "dvrcore.log";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (readAll(log).find("successfully started core version") == std::string::npos &&
           core.running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(readAll(log).find("successfully started core version"), std::string::npos)
        << core.standardError();
    // Run until about 30 video frames with their audio are on disk, however
    // long a loaded machine or the emulator takes for them.
    const fs::path recordingPath = dir.root() / "recording.dvr";
    constexpr uintmax_t kEnoughBytes = 30 * (2048 + 640 + 2 * sizeof(RecordHeader));
    boost::system::error_code sizeError;
    while (core.running() && std::chrono::steady_clock::now() < deadline + std::chrono::seconds(40)) {
        const uintmax_t size = fs::file_size(recordingPath, sizeError);
        if (!sizeError && size >= kEnoughBytes)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto stopAt = std::chrono::steady_clock::now();
    core.stopWith(SIGINT);
    // The camera's worker returns as soon as it is closed: no stop waits for
    // a frame interval, let alone seconds (a bound for hangs, not a timing).
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(15));

    const std::string logText = readAll(log);
    EXPECT_NE(logText.find("0x80000000  25 successfully started core version"), std::string::npos)
        << logText;
    EXPECT_NE(logText.find("0x00500000  25 camera started: 25 fps"), std::string::npos) << logText;
    EXPECT_NE(logText.find("0x00510000  25 recorder: recording to recording.dvr"), std::string::npos);

    const std::string recording = readAll(dir.root() / "recording.dvr");
    size_t offset = 0, video = 0, audio = 0, keys = 0;
    bool firstIsKey = false;
    while (offset + sizeof(RecordHeader) <= recording.size()) {
        RecordHeader header;
        std::memcpy(&header, recording.data() + offset, sizeof header);
        offset += sizeof header + header.length;
        ASSERT_LE(offset, recording.size());
        EXPECT_EQ(header.provider, 0x00500000u);
        if (header.eventType == DVR_EVENT_VIDEO_FRAME) {
            if (video == 0)
                firstIsKey = header.frameType == DVR_FRAME_KEY;
            keys += header.frameType == DVR_FRAME_KEY;
            EXPECT_EQ(header.length, header.frameType == DVR_FRAME_KEY ? 8192u : 2048u);
            ++video;
        } else {
            EXPECT_EQ(header.eventType, DVR_EVENT_AUDIO_FRAME);
            EXPECT_EQ(header.length, 640u);
            ++audio;
        }
    }
    EXPECT_EQ(offset, recording.size());
    EXPECT_GE(video, 25u);
    EXPECT_TRUE(firstIsKey);
    EXPECT_EQ(keys, (video + 24) / 25);
    EXPECT_GE(audio + 1, video);
}

TEST(Examples, TheParentStopsAndStartsTheCamera)
{
    PluginDir dir;
    fs::copy_file(fs::path(DVR_EXAMPLE_PLUGIN_DIR) / "camera.so", dir.root() / "plugins" / "camera.so");
    dir.addPlugin("sink.so", logSinkConfig(), DVR_TEST_PLUGIN);
    CoreProcess core(dir);
    core.startUnderParent({"--stdin"});
    ASSERT_TRUE(core.waitUntilStarted()) << core.standardError();

    // Target 0x05000000 is the camera; each command is answered with 0x101.
    core.toParent("0x05000000 0x102\n");
    ASSERT_TRUE(core.waitForOutput("command 257 tag 0: camera:")) << core.standardOutput();
    EXPECT_NE(core.standardOutput().find("audio frames, stopped"), std::string::npos)
        << core.standardOutput();
    core.toParent("0x05000000 0x103\n");
    ASSERT_TRUE(core.waitForOutput("audio frames, running")) << core.standardOutput();
    const std::string camera = "sink.so log provider=0x00500000 level=25 text=camera ";
    EXPECT_TRUE(dir.waitFor(camera + "stopped by the parent"));
    EXPECT_TRUE(dir.waitFor(camera + "started again by the parent"));
    core.stopWith(SIGINT);
}

}  // namespace

#endif  // DVR_HAVE_EXAMPLES
