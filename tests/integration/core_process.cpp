#include "core_process.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cerrno>
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

bool becomeUser(const CoreProcess::User &user)
{
    return setgroups(user.groups.size(), user.groups.data()) == 0 && setgid(user.gid) == 0 &&
           setuid(user.uid) == 0;
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
        if (core > 0)
            kill(core, SIGKILL);
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

    pid = core = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int in = pipeInput ? pipeFds[0] : open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || o < 0 || e < 0 || chdir(root.c_str()) != 0)
            _exit(120);
        char go;
        if (releaseFd >= 0 && (read(releaseFd, &go, 1) != 1 || (releaseAs && !becomeUser(*releaseAs))))
            _exit(122);
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

void CoreProcess::startAsUser(const User &parent, bool coreAsParent)
{
    for (const fs::path &path : fs::recursive_directory_iterator(dir.root()))
        ASSERT_EQ(lchown(path.c_str(), parent.uid, parent.gid), 0) << path;
    ASSERT_EQ(chown(dir.root().c_str(), parent.uid, parent.gid), 0);
    int report[2], release[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    const pid_t intermediate = fork();
    ASSERT_GE(intermediate, 0);
    if (intermediate == 0) {
        // The parent: reports the core's ID, becomes `parent`, releases the
        // core and exits as the core did. A core never released is killed.
        releaseFd = release[0];
        releaseAs = coreAsParent ? &parent : nullptr;
        start();
        if (pid <= 0)
            _exit(123);
        if (write(report[1], &pid, sizeof pid) != sizeof pid || !becomeUser(parent) ||
            write(release[1], "g", 1) != 1) {
            kill(pid, SIGKILL);
            _exit(123);
        }
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFSIGNALED(status))
            ::kill(getpid(), WTERMSIG(status));
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
    }
    pid = intermediate;
    close(report[1]);
    close(release[0]);
    close(release[1]);
    const ssize_t got = read(report[0], &core, sizeof core);
    close(report[0]);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof core)) << "the core's parent did not start it";
}

void CoreProcess::signal(int number)
{
    ASSERT_GT(core, 0);
    kill(core, number);
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
