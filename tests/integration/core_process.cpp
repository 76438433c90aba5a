#include "core_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace fs = boost::filesystem;

namespace {

std::string readAll(const fs::path &path)
{
    std::ifstream file(path.string());
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

CoreProcess::CoreProcess(const PluginDir &dir, const std::string &executable) : dir(dir)
{
    fs::copy_file(executable, dir.root() / "dvrcore", fs::copy_options::overwrite_existing);
    fs::permissions(dir.root() / "dvrcore", fs::perms::owner_all);
}

CoreProcess::~CoreProcess()
{
    if (input >= 0)
        close(input);
    if (pid > 0) {
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
    }
}

namespace {

// The command that runs `program`: through the tests' emulator on a cross build.
std::vector<std::string> command(const std::string &program)
{
    std::vector<std::string> words;
#ifdef DVR_CORE_EMULATOR
    std::istringstream emulator(DVR_CORE_EMULATOR);
    for (std::string word; std::getline(emulator, word, '|');)
        words.push_back(word);
#endif
    words.push_back(program);
    return words;
}

}  // namespace

void CoreProcess::start(const std::vector<std::string> &environment)
{
    launch(command((dir.root() / "dvrcore").string()), environment, false);
}

void CoreProcess::startUnderParent(const std::vector<std::string> &parentOptions,
                                   const std::vector<std::string> &environment)
{
    std::vector<std::string> words = command(DVR_PARENT_EXECUTABLE);
    words.insert(words.end(), parentOptions.begin(), parentOptions.end());
    words.push_back("--");
    for (const std::string &word : command((dir.root() / "dvrcore").string()))
        words.push_back(word);
    launch(std::move(words), environment, true);
}

void CoreProcess::launch(std::vector<std::string> words, const std::vector<std::string> &environment,
                         bool pipeInput)
{
    // Everything the child needs is prepared before fork.
    std::vector<std::string> variables;
    for (char **entry = environ; *entry; ++entry)
        variables.push_back(*entry);
    variables.push_back("DVR_TEST_CONFIG_DIR=" + dir.configDir().string());
    variables.push_back("DVR_TEST_TRACE=" + dir.tracePath().string());
    variables.insert(variables.end(), environment.begin(), environment.end());
    std::vector<char *> envp;
    for (std::string &variable : variables)
        envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    const std::string root = dir.root().string();
    const std::string out = (dir.root() / "stdout.txt").string();
    const std::string err = (dir.root() / "stderr.txt").string();
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    if (pipeInput) {
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    }

    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int in = pipeInput ? pipeFds[0] : open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0 || chdir(root.c_str()) != 0)
            _exit(120);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(121);
    }
    if (pipeInput) {
        close(pipeFds[0]);
        input = pipeFds[1];
    }
}

void CoreProcess::toParent(const std::string &text)
{
    ASSERT_GE(input, 0);
    ASSERT_EQ(write(input, text.data(), text.size()), ssize_t(text.size()));
}

bool CoreProcess::waitForOutput(const std::string &text, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (standardOutput().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void CoreProcess::signal(int number)
{
    ASSERT_GT(pid, 0);
    kill(pid, number);
}

bool CoreProcess::running()
{
    if (pid <= 0)
        return false;
    int status;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
        // Keep the status for a later waitForExit.
        lastStatus = status;
        pid = -1;
        return false;
    }
    return true;
}

bool CoreProcess::waitForExit(int &status, std::chrono::milliseconds timeout)
{
    if (pid <= 0) {
        status = lastStatus;
        return lastStatus != -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            pid = -1;
            lastStatus = status;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool CoreProcess::waitUntilStarted(const std::string &sink)
{
    const std::string started =
        sink + " log provider=0x80000000 level=25 text=successfully started core version";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        if (dir.has(started))
            return true;
        // A core that could not start, or died, is not waited for.
        if (!running() || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void CoreProcess::stopWith(int number)
{
    signal(number);
    int status = -1;
    ASSERT_TRUE(waitForExit(status)) << "the core did not stop after signal " << number;
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status << "\nstderr:\n" << standardError();
    EXPECT_EQ(WEXITSTATUS(status), 0) << standardError();
}

std::string CoreProcess::standardOutput() const
{
    return readAll(dir.root() / "stdout.txt");
}

std::string CoreProcess::standardError() const
{
    return readAll(dir.root() / "stderr.txt");
}

std::string logSinkConfig(uint32_t id)
{
    char text[128];
    std::snprintf(text, sizeof text, "id=0x%08x\nsub6=0xFFFFFFFF", id);
    return text;
}
