#include "config/file_name_locks.h"

FileNameLocks &FileNameLocks::process()
{
    static FileNameLocks locks;
    return locks;
}

void FileNameLocks::acquire(const std::string &name)
{
    std::unique_lock<std::mutex> lock(tableMutex);
    released.wait(lock, [&] { return inUse.count(name) == 0; });
    inUse.insert(name);
}

void FileNameLocks::release(const std::string &name)
{
    {
        std::lock_guard<std::mutex> lock(tableMutex);
        inUse.erase(name);
    }
    // Waiters for other names wake, find theirs still held and sleep again;
    // holders keep a name only for one file operation, so this stays cheap.
    released.notify_all();
}
