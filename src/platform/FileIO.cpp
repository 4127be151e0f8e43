#include "platform/FileIO.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

bool writeAll(int fd, const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (w == 0) {
            errno = EIO;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

long long readFull(int fd, void *data, size_t n)
{
    char *p = static_cast<char *>(data);
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::read(fd, p + got, n - got);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            break;
        got += size_t(r);
    }
    return (long long)got;
}

unsigned currentUmask()
{
    FILE *status = std::fopen("/proc/self/status", "re");
    if (!status)
        return 022;
    unsigned value = 022;
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
        unsigned parsed = 0;
        if (std::strncmp(line, "Umask:", 6) == 0 && std::sscanf(line + 6, "%o", &parsed) == 1) {
            value = parsed & 0777;
            break;
        }
    }
    std::fclose(status);
    return value;
}
