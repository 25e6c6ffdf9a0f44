// The client library's thread never starts while MOLAN_PULSE_FAULT is set,
// for the test of what the program says when the library cannot work.
// Preloaded; every other call goes to the library as usual.
#include <pulse/pulseaudio.h>

#include <dlfcn.h>

#include <cstdlib>

extern "C" int pa_threaded_mainloop_start(pa_threaded_mainloop *loop)
{
    if (std::getenv("MOLAN_PULSE_FAULT"))
        return -1;
    using Start = int (*)(pa_threaded_mainloop *);
    return reinterpret_cast<Start>(dlsym(RTLD_NEXT, "pa_threaded_mainloop_start"))(loop);
}
