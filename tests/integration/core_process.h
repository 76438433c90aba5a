// The real dvrcore executable run as a child process for integration tests.
// The executable is copied (not linked) into the plugin directory's root, so
// the core's canonical path, and so its plugin directories, are there.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "plugin/dvrplugin.h"
#include "plugins/support/plugin_dir.h"

class CoreProcess {
public:
    // A user to run as: user and group IDs and supplementary groups.
    struct User {
        uid_t uid;
        gid_t gid;
        std::vector<gid_t> groups;
    };

    explicit CoreProcess(const PluginDir &dir, const std::string &executable = DVR_CORE_EXECUTABLE);
    ~CoreProcess();  // kills a child still running
    CoreProcess(const CoreProcess &) = delete;
    CoreProcess &operator=(const CoreProcess &) = delete;

    // Starts the copy in the directory's root with stdin from /dev/null,
    // stdout and stderr to files there, and the test plugin's variables plus
    // `environment` ("NAME=value") added to this process's environment.
    void start(const std::vector<std::string> &environment = {});
    // Starts the copy the same way, but under the parent stand-in (dvrparent)
    // with `parentOptions` before the core's command; the stand-in's standard
    // input is a pipe that toParent writes, and `signal` goes to the stand-in.
    void startUnderParent(const std::vector<std::string> &parentOptions,
                          const std::vector<std::string> &environment = {});
    // Writes to the stand-in's standard input (lines of --stdin).
    void toParent(const std::string &text);
    // Polls standard output (bounded) until it contains `text`.
    bool waitForOutput(const std::string &text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;
    // Starts the copy with a parent of its own that starts
    // the core as root (or as `parent` when `coreAsParent`) and then becomes
    // `parent` before the core runs. The directory is handed over to
    // `parent`, so the core can write there once it has become that user.
    // Needs root.
    void startAsUser(const User &parent, bool coreAsParent);
    // The core's process ID (the child's, or the parent's child's).
    pid_t corePid() const { return core; }
    // Sends a signal to the child.
    void signal(int number);
    // Waits (bounded) for the child to exit; true with its wait status.
    bool waitForExit(int &status, std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // True while the child has not exited.
    bool running();

    // Waits for the core to be running its delivery loop: the log sink (a
    // test plugin subscribed to log events) traced the start message.
    bool waitUntilStarted(const std::string &sink = "sink.so");
    // Sends `signal` and expects a clean exit with status 0.
    void stopWith(int number);

    std::string standardOutput() const;
    std::string standardError() const;

private:
    void launch(std::vector<std::string> words, const std::vector<std::string> &environment,
                bool pipeInput);

    const PluginDir &dir;
    pid_t pid = -1;
    int input = -1;  // the stand-in's standard input
    pid_t core = -1;  // the core itself, or the stand-in that runs it
    // In the parent of startAsUser: the core waits for a byte on this
    // descriptor, and then becomes `releaseAs` if set, before it runs.
    int releaseFd = -1;
    const User *releaseAs = nullptr;
    int lastStatus = -1;
};

// Configuration of a test plugin that traces every log message it receives.
std::string logSinkConfig(uint32_t id = 0x00700000);
