// Serialises the loads and saves of one file name within the process.
//
// Names are compared exactly as passed: "core.xml" and "./core.xml" are
// different names. A holder keeps its name for one load or save only, so a
// second caller waits on a condition variable rather than retrying.
#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

class FileNameLocks {
public:
    // The process-wide table every document load and save goes through.
    static FileNameLocks &process();

    // Blocks until no other thread holds `name`, then holds it. Not
    // recursive: a thread must not acquire a name it holds.
    void acquire(const std::string &name);
    void release(const std::string &name);

private:
    std::mutex tableMutex;
    std::condition_variable released;
    std::set<std::string> inUse;
};

// Holds one name for the lifetime of the guard.
class FileNameLock {
public:
    FileNameLock(FileNameLocks &locks, std::string name) : locks(locks), name(std::move(name))
    {
        locks.acquire(this->name);
    }
    ~FileNameLock() { locks.release(name); }
    FileNameLock(const FileNameLock &) = delete;
    FileNameLock &operator=(const FileNameLock &) = delete;

private:
    FileNameLocks &locks;
    const std::string name;
};
