// The single-instance lock on POSIX (no toolkit): an flock that dies with the process.
// Contract: platform/platform.h.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

// The lock file for a name: $XDG_RUNTIME_DIR/<name>.lock (a per-user directory), else
// /tmp/<name>-<uid>.lock. Characters other than letters, digits, '-', '_' and '.' become '_'.
std::string LockPath(const char* name)
{
    std::string safe;
    for (const char* p = name; p != nullptr && *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        safe += ok ? c : '_';
    }
    if (safe.empty() || safe[0] == '.') {
        safe.insert(0, "lock");
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (runtime != nullptr && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) {
        return std::string(runtime) + "/" + safe + ".lock";
    }
    return "/tmp/" + safe + "-" + std::to_string(getuid()) + ".lock";
}

} // namespace

// The lock is an exclusive flock on the file, held through a descriptor that stays open for
// the life of the process: the kernel drops it when the process ends, however it ends
// (SIGKILL included), so a dead instance never leaves a stale lock. O_CLOEXEC keeps programs
// that we start (a JACK server, say) from inheriting it.
bool PlatTakeInstanceLock(const char* name)
{
    const std::string path = LockPath(name);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "ZYN_MOUSE: cannot open the instance lock %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return true; // no way to tell: do not refuse to run
    }
    int rc = 0;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        return !held;
    }
    return true; // fd intentionally left open until the process ends
}
