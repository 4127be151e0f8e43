// ferrowhistle-proxy: the desktop's proxies for one address, as the host's
// libproxy gives them. Invoked as `ferrowhistle-proxy URL`; prints each proxy
// libproxy names, in its order, one a line ("direct://" for none), and exits
// 0. Exits 2 with one line on standard error when this system has no
// libproxy, 1 when libproxy gives no answer.
//
// A program of its own because a release carries the libproxy Qt Network
// was linked with, and that copy finds its configuration and PAC plugins only
// at the build machine's paths: on another distribution, or another libproxy
// version, the desktop's settings would be ignored. This program has no run
// path into the bundle, so the libproxy it opens is the host's, which knows
// its own plugins, with the host's GLib beside it rather than the carried one
// (loading the host's libproxy into the app could bind it to older carried
// libraries). It opens libproxy at run time rather than linking it, so it
// starts on a host without libproxy and says so.

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

namespace {
constexpr int kNoAnswerStatus = 1;
constexpr int kNoLibproxyStatus = 2;
constexpr int kUsageStatus = 64;

// libproxy's C interface, the same in 0.4 and 0.5 (one soname for both).
struct pxProxyFactory;
using FactoryNew = pxProxyFactory *(*)();
using GetProxies = char **(*)(pxProxyFactory *, const char *);
} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || argv[1][0] == '\0') {
        std::fprintf(stderr, "usage: ferrowhistle-proxy URL\n");
        return kUsageStatus;
    }
    void *library = dlopen("libproxy.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "ferrowhistle-proxy: this system has no libproxy: %s\n", dlerror());
        return kNoLibproxyStatus;
    }
    const auto create = reinterpret_cast<FactoryNew>(dlsym(library, "px_proxy_factory_new"));
    const auto ask = reinterpret_cast<GetProxies>(dlsym(library, "px_proxy_factory_get_proxies"));
    if (!create || !ask) {
        std::fprintf(stderr, "ferrowhistle-proxy: this system's libproxy.so.1 is not libproxy\n");
        return kNoLibproxyStatus;
    }
    pxProxyFactory *factory = create();
    char **proxies = factory ? ask(factory, argv[1]) : nullptr;
    if (!proxies || !proxies[0]) {
        std::fprintf(stderr, "ferrowhistle-proxy: libproxy gave no answer for %s\n", argv[1]);
        return kNoAnswerStatus;
    }
    // The process ends here; what libproxy allocated goes with it. Its
    // factory is not freed either: libproxy 0.4 joins its worker threads
    // there, which buys nothing on the way out.
    for (char **p = proxies; *p; ++p) {
        // One a line: a proxy URL holds no line break, and one that did
        // would be refused by the reader rather than split.
        if (std::strpbrk(*p, "\r\n"))
            continue;
        std::printf("%s\n", *p);
    }
    return std::fflush(stdout) == 0 ? 0 : kNoAnswerStatus;
}
