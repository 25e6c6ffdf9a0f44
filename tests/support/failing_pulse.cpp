// Makes one libpulse call fail, chosen by MOLAN_PULSE_FAULT at the time of the
// call, for the tests of what the program says when the library cannot work.
// Preloaded; every other call goes to the library as usual.
#include <pulse/pulseaudio.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <tuple>

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

// The server's answer to a device list is an error: the callback's end of
// list comes with eol < 0, as libpulse reports a failed request, later and on
// the loop thread as a real answer would. The real request still goes out,
// but its answer goes nowhere, so that it is answered once.
extern "C" pa_operation *pa_context_get_source_info_list(pa_context *context, pa_source_info_cb_t callback,
                                                         void *user)
{
    using Answer = std::tuple<pa_context *, pa_source_info_cb_t, void *>;
    auto *list = real("pa_context_get_source_info_list", &pa_context_get_source_info_list);
    if (!failing("device-list"))
        return list(context, callback, user);
    pa_operation *operation = list(
        context, [](pa_context *, const pa_source_info *, int, void *) {}, nullptr);
    if (operation)
        pa_context_rttime_new(
            context, pa_rtclock_now(),
            [](pa_mainloop_api *api, pa_time_event *event, const timeval *, void *data) {
                const auto *answer = static_cast<Answer *>(data);
                std::get<1> (*answer)(std::get<0>(*answer), nullptr, -1, std::get<2>(*answer));
                api->time_free(event);
                delete answer;
            },
            new Answer{context, callback, user});
    return operation;
}
