// Preloaded into the Wayland window tests: every Wayland object that a thread
// other than the main one destroys is destroyed 10 ms late. Qt's Wayland client
// destroys a frame callback on its frame thread when the compositor answers
// it; stretching that moment from a few hundred nanoseconds to milliseconds
// makes a window that goes while an answer is in flight crash nearly every
// time instead of once in thousands of runs.

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <thread>

struct wl_proxy;

extern "C" __attribute__((visibility("default"))) void wl_proxy_destroy(wl_proxy* proxy) {
    using Destroy = void (*)(wl_proxy*);
    // Qt loads the library with its platform plugin, outside the global scope
    // that RTLD_NEXT searches.
    static const auto real = reinterpret_cast<Destroy>(
        ::dlsym(::dlopen("libwayland-client.so.0", RTLD_NOW | RTLD_NOLOAD), "wl_proxy_destroy"));
    if (::syscall(SYS_gettid) != ::getpid()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    real(proxy);
}
