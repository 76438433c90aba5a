// A directory of the fuzz target's own for files, on tmpfs where there is
// one (saves sync every file), removed when the process exits.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <boost/filesystem/operations.hpp>

class ScratchDir {
public:
    explicit ScratchDir(const std::string &prefix)
    {
        struct stat info {};
        const std::string base = stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) ? "/dev/shm/" : "/tmp/";
        std::string name = base + prefix + "-XXXXXX";
        if (!mkdtemp(name.data()))
            std::abort();
        path = name + "/";
    }
    ~ScratchDir()
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    // The path of `name` inside the directory.
    std::string file(const std::string &name) const { return path + name; }

private:
    std::string path;
};
