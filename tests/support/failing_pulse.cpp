// Makes one libpulse call fail, chosen by MOLAN_PULSE_FAULT at the time of the
// call, for the tests of what the program says when the library cannot work.
// Preloaded; every other call goes to the library as usual.
#include <pulse/pulseaudio.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

namespace {

bool failing(const char *call)
{
    const char *fault = std::getenv("MOLAN_PULSE_FAULT");
    return fault && std::strcmp(fault, call) == 0;
}

template<typename Function>
Function *real(const char *name, Function *)
{
    return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int pa_threaded_mainloop_start(pa_threaded_mainloop *loop)
{
    if (failing("loop-thread"))
        return -1;
    return real("pa_threaded_mainloop_start", &pa_threaded_mainloop_start)(loop);
}
