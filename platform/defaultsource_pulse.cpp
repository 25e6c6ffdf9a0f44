#include "defaultsource.h"

#include <QElapsedTimer>

#include <pulse/pulseaudio.h>

namespace audio {

namespace {

struct Query
{
    QByteArray name;
    bool done = false;
};

void onServerInfo(pa_context *, const pa_server_info *info, void *user)
{
    auto *query = static_cast<Query *>(user);
    if (info && info->default_source_name)
        query->name = info->default_source_name;
    query->done = true;
}

} // namespace

QByteArray serverDefaultSourceName()
{
    constexpr int budgetMs = 2000;
    pa_mainloop *loop = pa_mainloop_new();
    if (!loop)
        return {};
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "molan-recorder");
    Query query;
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        QElapsedTimer clock;
        clock.start();
        pa_operation *operation = nullptr;
        while (!query.done && clock.elapsed() < budgetMs) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (!PA_CONTEXT_IS_GOOD(state))
                break;
            if (state == PA_CONTEXT_READY && !operation)
                operation = pa_context_get_server_info(context, onServerInfo, &query);
            if (pa_mainloop_prepare(loop, 50 * 1000) < 0 || pa_mainloop_poll(loop) < 0
                || pa_mainloop_dispatch(loop) < 0)
                break;
        }
        if (operation) {
            pa_operation_cancel(operation);
            pa_operation_unref(operation);
        }
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    return query.name;
}

} // namespace audio
