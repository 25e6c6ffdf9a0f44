// A disk that takes half a second to make anything durable, as a slow home
// folder over NFS or on a USB stick does: fsync and fdatasync of a file under
// MOLAN_SLOW_DISK wait that long before they go to the system. Preloaded.
#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

int slowly(int fd, const char *name)
{
    const char *folder = std::getenv("MOLAN_SLOW_DISK");
    char link[64], path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (folder && *folder && length > 0 && std::strncmp(path, folder, std::strlen(folder)) == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, name))(fd);
}

} // namespace

extern "C" int fsync(int fd)
{
    return slowly(fd, "fsync");
}

extern "C" int fdatasync(int fd)
{
    return slowly(fd, "fdatasync");
}
