#include "plugins/plugin_info.h"

#include <dlfcn.h>

LibraryHandle &LibraryHandle::operator=(LibraryHandle &&other) noexcept
{
    if (this != &other) {
        close();
        handle = other.handle;
        other.handle = nullptr;
    }
    return *this;
}

void *LibraryHandle::symbol(const char *name) const
{
    return handle ? dlsym(handle, name) : nullptr;
}

void LibraryHandle::close()
{
    if (handle)
        dlclose(handle);
    handle = nullptr;
}
