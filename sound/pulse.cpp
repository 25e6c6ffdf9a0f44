// The sound layer on the sound server's own client library. PulseAudio serves
// it natively and PipeWire through pipewire-pulse. The library works on its
// threaded main loop; the GUI thread only ever waits for it with a deadline.
#include "systemaudio.h"

#include "memorybuffer.h"
#include "wavefile.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QObject>
#include <QThread>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace audio {

namespace {

using Clock = std::chrono::steady_clock;

// A server that has not answered by then is taken as not answering at all.
constexpr auto kAnswerTime = std::chrono::milliseconds(2000);
// How long after Stop the sound up to the click may take to arrive (PipeWire
// needs 12-17 ms, rarely 200); past it the take ends at the last sound that
// came, and the recorder is told.
constexpr auto kTailTime = std::chrono::milliseconds(1000);
// Larger fragments while recording mean fewer wake-ups, for us and for the
// server (at 400 ms, 35-45% fewer than at 200). But PipeWire holds a whole
// fragment back, so a server that dies takes it along, and a crash leaves it
// out of the recovery file. The source's latency follows the fragment
// (without that, PulseAudio lets a source with nobody else listening post
// seconds at once, and a quiet stream would tell nothing).
constexpr std::uint32_t kRecordingFragmentMs = 400;
// A record stream quiet for two fragments has the server asked whether it
// is still there; one that then does not answer this soon has stopped
// answering (hung, or stopped in a debugger), and the take ends there.
// Sources that post their sound in large blocks (up to 2 s) stay quiet that
// long while all is well; one quiet for longer has stopped delivering.
constexpr auto kQuietTime = std::chrono::milliseconds(2 * kRecordingFragmentMs);
constexpr auto kPingTime = std::chrono::milliseconds(700);
constexpr auto kSilentTime = std::chrono::milliseconds(3000);
// While the connection to the server is made again, Start looks this often
// whether it is up.
constexpr auto kConnectPoll = std::chrono::milliseconds(10);
// At Stop, fragments this small make the server hand over what it holds.
constexpr std::uint32_t kTailFragmentMs = 5;
// A device's first sound comes a few milliseconds after the stream is made;
// one that wakes from suspend or switches profile may take a second or more,
// and the beginning it missed is told.
constexpr auto kLateStartTold = std::chrono::milliseconds(100);
// How long a device or stream must stay muted, or at no volume, to be told.
constexpr auto kSilenceLasts = std::chrono::milliseconds(300);

// A timer `from_now` ahead on the monotonic clock, as the wall clock may jump.
pa_time_event *timerIn(pa_context *context, std::chrono::microseconds from_now, pa_time_event_cb_t ring,
                       void *user)
{
    return pa_context_rttime_new(
        context, pa_rtclock_now() + pa_usec_t(std::max<std::int64_t>(0, from_now.count())), ring, user);
}

QString serverError(pa_context *context, const char *what)
{
    const int error = context ? pa_context_errno(context) : PA_ERR_UNKNOWN;
    return QStringLiteral("%1（%2）").arg(QString::fromUtf8(what), QString::fromUtf8(pa_strerror(error)));
}

// Holds the main loop's lock for a scope.
class Locked
{
public:
    // A loop that never started has nothing to lock.
    explicit Locked(pa_threaded_mainloop *loop) : m_loop(loop)
    {
        if (m_loop)
            pa_threaded_mainloop_lock(m_loop);
    }
    ~Locked()
    {
        if (m_loop)
            pa_threaded_mainloop_unlock(m_loop);
    }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    pa_threaded_mainloop *m_loop;
};

// One main loop thread and one connection to the server, made again when the
// server has gone away and come back.
class Connection
{
public:
    Connection()
    {
        m_loop = pa_threaded_mainloop_new();
        if (m_loop && pa_threaded_mainloop_start(m_loop) < 0) {
            pa_threaded_mainloop_free(m_loop);
            m_loop = nullptr;
        }
    }

    ~Connection()
    {
        if (!m_loop)
            return;
        {
            Locked lock(m_loop);
            dropContext();
        }
        pa_threaded_mainloop_stop(m_loop);
        pa_threaded_mainloop_free(m_loop);
    }

    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    pa_threaded_mainloop *loop() const { return m_loop; }
    pa_context *context() const { return m_context; }

    // With the lock held: waits until `done` holds or the deadline passes,
    // letting the loop thread run meanwhile. True when `done` holds.
    template<typename Done>
    bool waitFor(Done done, Clock::time_point deadline)
    {
        if (done())
            return true;
        if (!m_context)
            return false;
        pa_mainloop_api *api = pa_threaded_mainloop_get_api(m_loop);
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        // Ends the wait below at the deadline, whatever else happens.
        struct Alarm
        {
            pa_threaded_mainloop *loop;
            bool rang = false;
        } alarm{m_loop};
        pa_time_event *event = timerIn(
            m_context, left,
            [](pa_mainloop_api *, pa_time_event *, const timeval *, void *user) {
                auto *a = static_cast<Alarm *>(user);
                a->rang = true;
                pa_threaded_mainloop_signal(a->loop, 0);
            },
            &alarm);
        while (!done() && !alarm.rang)
            pa_threaded_mainloop_wait(m_loop);
        api->time_free(event);
        return done();
    }

    // With the lock held: a ready connection, made anew if the last one broke.
    Status ready()
    {
        if (Status connecting = connect(); !connecting)
            return connecting;
        QString failure;
        if (waitFor([&] { return up(failure) || !failure.isEmpty(); }, m_connecting + kAnswerTime)
            && failure.isEmpty())
            return Status::success();
        const Status failed =
            Status::failure(failure.isEmpty() ? QStringLiteral("声音服务器没有响应") : failure);
        dropContext();
        return failed;
    }

    // With the lock held: makes the connection again if the last one broke,
    // without waiting for it to come up.
    Status connect()
    {
        if (!m_loop)
            return Status::failure(QStringLiteral("无法启动声音服务的客户端线程"));
        if (m_context && PA_CONTEXT_IS_GOOD(pa_context_get_state(m_context)))
            return Status::success();
        dropContext();
        pa_proplist *properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "墨岚录音软件");
        pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.example.molan_recorder");
        pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, "molan-recorder");
        pa_proplist_sets(properties, PA_PROP_APPLICATION_VERSION, "1.00");
        m_context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(m_loop), nullptr, properties);
        pa_proplist_free(properties);
        if (!m_context)
            return Status::failure(QStringLiteral("无法连接声音服务器"));
        pa_context_set_state_callback(
            m_context,
            [](pa_context *, void *loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop *>(loop), 0);
            },
            m_loop);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
            const Status failed = Status::failure(serverError(m_context, "无法连接声音服务器"));
            dropContext();
            return failed;
        }
        m_connecting = Clock::now();
        return Status::success();
    }

    // With the lock held: whether the connection that connect() began is up,
    // still on its way (an empty reason) or not to be had.
    bool up(QString &failure) const
    {
        const pa_context_state_t state = m_context ? pa_context_get_state(m_context) : PA_CONTEXT_FAILED;
        if (state == PA_CONTEXT_READY)
            return true;
        if (!PA_CONTEXT_IS_GOOD(state))
            failure = serverError(m_context, "无法连接声音服务器");
        else if (Clock::now() - m_connecting >= kAnswerTime)
            failure = QStringLiteral("声音服务器没有响应");
        return false;
    }

    // With the lock held: runs `start` (which begins an operation whose
    // callbacks set `done`) and waits for it with the usual deadline.
    Status query(const std::function<pa_operation *()> &start, const bool &done)
    {
        if (Status connected = ready(); !connected)
            return connected;
        pa_operation *operation = start();
        if (!operation)
            return Status::failure(serverError(m_context, "声音服务器拒绝了请求"));
        const bool answered =
            waitFor([&] { return done || pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                    Clock::now() + kAnswerTime);
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
        if (!answered)
            return Status::failure(QStringLiteral("声音服务器没有响应"));
        if (!done)
            return Status::failure(serverError(m_context, "声音服务器没有回答"));
        return Status::success();
    }

private:
    void dropContext()
    {
        if (!m_context)
            return;
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }

    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    Clock::time_point m_connecting;
};

// Counts the devices of one kind; monitors of sinks are left out of sources,
// since they are not something that records on its own.
struct DeviceCount
{
    int devices = 0;
    bool done = false;
    bool failed = false; // the server could not list them
    pa_threaded_mainloop *loop = nullptr;

    template<typename Info>
    static void onInfo(pa_context *, const Info *info, int eol, void *user)
    {
        auto *self = static_cast<DeviceCount *>(user);
        if (eol) {
            self->failed = eol < 0;
            self->done = true;
            pa_threaded_mainloop_signal(self->loop, 0);
            return;
        }
        if constexpr (std::is_same_v<Info, pa_source_info>) {
            if (info->monitor_of_sink != PA_INVALID_INDEX)
                return;
        }
        ++self->devices;
    }
};

pa_sample_spec sampleSpecOf(const WAVEFORMATEX &format)
{
    pa_sample_spec sample;
    sample.format = format.wBitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
    sample.rate = format.nSamplesPerSec;
    sample.channels = std::uint8_t(format.nChannels);
    return sample;
}

// Records one take into a fixed block, never wrapping. The loop thread fills
// the block; everything the GUI thread reads of it is taken under the lock,
// and the GUI thread never waits for the server: a take that cannot go on
// ends by itself, and the recorder hears of it.
class PulseCaptureBuffer final : public QObject, public DirectSoundCaptureBuffer
{
public:
    PulseCaptureBuffer(std::shared_ptr<Connection> connection, const DSCBUFFERDESC &desc)
        : m_connection(std::move(connection)),
          m_format(desc.fxFormat),
          // Not filled up front: its pages become memory as sound arrives,
          // and what never came reads as silence.
          m_block(qsizetype(desc.lBufferBytes), Qt::Uninitialized)
    {
    }

    ~PulseCaptureBuffer() override
    {
        Locked lock(m_connection->loop());
        dropStream();
    }

    Status Start(std::uint32_t) override
    {
        const auto clicked = Clock::now();
        Locked lock(m_connection->loop());
        if (m_started)
            return m_ended ? Status::failure(QStringLiteral("这段录音已经结束")) : Status::success();
        // A connection made anew first takes its time; the take still
        // counts from here, and a beginning that came late is told.
        m_startedAt = clicked;
        if (Status connecting = m_connection->connect(); !connecting)
            return connecting;
        m_started = true;
        // The server's answer is awaited on the loop thread: a server that
        // went away and came back, or hangs, holds up nothing here.
        m_watch = timerIn(m_connection->context(), std::chrono::microseconds(0), &PulseCaptureBuffer::onWatch,
                          this);
        QString failure;
        if (m_connection->up(failure))
            openStream();
        return Status::success();
    }

    Status Stop() override
    {
        const auto clicked = Clock::now();
        Locked lock(m_connection->loop());
        if (!m_started || m_ended || m_wanted >= 0)
            return Status::success();
        if (!m_stream) {
            endTake(QStringLiteral("声音服务器没有及时响应"));
            return Status::success();
        }
        m_stoppedAt = clicked;
        m_wanted = wantedAt(clicked);
        if (m_written >= m_wanted) {
            endTake({});
            return Status::success();
        }
        // The server holds back up to a whole fragment; ask for it now, and
        // do not wait here: the rest arrives on the loop thread. A fragment
        // the size of what is missing brings it in one piece where the server
        // has it all (PipeWire hands over what it holds in pieces of that
        // size, and at 5 ms that is forty wake-ups).
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr);
        const auto missing = std::uint32_t(m_wanted - m_written);
        attr.fragsize = std::max(bytesFor(kTailFragmentMs), missing - missing % m_format.nBlockAlign);
        if (pa_operation *op = pa_stream_set_buffer_attr(m_stream, &attr, nullptr, nullptr))
            pa_operation_unref(op);
        watchFor(kTailTime);
        return Status::success();
    }

    Status GetCurrentPosition(DSCURSORS &cursors) override
    {
        Locked lock(m_connection->loop());
        // After Stop the take is known to end at the click while its last few
        // milliseconds are still on their way: the capture position tells
        // how much of it is here.
        cursors.lPlay = std::uint32_t(m_written);
        cursors.lWrite = std::uint32_t(!m_ended && m_wanted >= 0 ? m_wanted : m_written);
        return Status::success();
    }

    Status ReadBuffer(std::uint32_t start, std::uint32_t count, void *dest, std::uint32_t) override
    {
        if (quint64(start) + count > quint64(m_block.size()))
            return Status::failure(QStringLiteral("读取范围超出缓冲区"));
        Locked lock(m_connection->loop());
        const qint64 recorded = std::clamp<qint64>(m_written - start, 0, count);
        if (recorded)
            std::memcpy(dest, m_block.constData() + start, size_t(recorded));
        std::memset(static_cast<char *>(dest) + recorded, silenceByte(m_format), size_t(count - recorded));
        return Status::success();
    }

    void setInterruptedHandler(InterruptedHandler handler) override
    {
        Locked lock(m_connection->loop());
        m_interrupted = std::move(handler);
    }

    void setSilencedHandler(SilencedHandler handler) override
    {
        Locked lock(m_connection->loop());
        m_silencedHandler = std::move(handler);
    }

private:
    std::uint32_t bytesFor(std::uint32_t ms) const
    {
        const std::uint32_t bytes = m_format.nAvgBytesPerSec * ms / 1000;
        return std::max<std::uint32_t>(bytes - bytes % m_format.nBlockAlign, m_format.nBlockAlign);
    }

    qint64 limit() const { return m_wanted >= 0 ? m_wanted : m_block.size(); }
    bool heard() const { return m_received > 0; } // whether any sound came yet

    // Exactly the sound from its first sample up to `end`: counted, not
    // clocked, since the server's clock runs in steps and lags behind. Until
    // the first sound has come, Start stands in for it.
    qint64 wantedAt(Clock::time_point end) const
    {
        const auto origin = heard() ? m_origin : m_startedAt;
        const double seconds = std::max(0.0, std::chrono::duration<double>(end - origin).count());
        const qint64 frames = std::llround(seconds * m_format.nSamplesPerSec);
        return std::min<qint64>(m_block.size(), frames * m_format.nBlockAlign);
    }

    // Lock held, connection up.
    void openStream()
    {
        pa_context *context = m_connection->context();
        const pa_sample_spec sample = sampleSpecOf(m_format);
        pa_proplist *properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, "production");
        pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, "录音");
        m_stream = pa_stream_new_with_proplist(context, "录音", &sample, nullptr, properties);
        pa_proplist_free(properties);
        if (!m_stream) {
            endTake(serverError(context, "无法创建录音流"));
            return;
        }
        pa_stream_set_state_callback(m_stream, &PulseCaptureBuffer::onState, this);
        pa_stream_set_read_callback(m_stream, &PulseCaptureBuffer::onRead, this);
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr);
        attr.fragsize = bytesFor(kRecordingFragmentMs);
        m_heard = m_putOff = Clock::now();
        // No device named: the server records from its default source,
        // whatever that is now, a monitor included. The take stays on it: a
        // server would move it to another device, or to the speakers'
        // monitor, when that one goes away. Not waiting for the stream to
        // come up keeps Start, and so the seconds, on the click.
        pa_context_set_subscribe_callback(context, &PulseCaptureBuffer::onChange, this);
        if (pa_operation *op = pa_context_subscribe(
                context,
                pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT),
                nullptr, nullptr))
            pa_operation_unref(op);
        if (pa_stream_connect_record(m_stream, nullptr, &attr,
                                     pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE))
            < 0) {
            endTake(serverError(context, "无法开始录音"));
            return;
        }
        watchFor(kQuietTime);
    }

    // Lock held: the watch looks again `after` from now.
    void watchFor(Clock::duration after)
    {
        if (m_watch && m_connection->context())
            pa_context_rttime_restart(
                m_connection->context(), m_watch,
                pa_rtclock_now()
                    + pa_usec_t(std::chrono::duration_cast<std::chrono::microseconds>(after).count()));
    }

    // Loop thread: the server did not answer in time, or the connection is up.
    static void onWatch(pa_mainloop_api *, pa_time_event *, const timeval *, void *user)
    {
        auto *self = static_cast<PulseCaptureBuffer *>(user);
        if (self->m_ended)
            return;
        if (!self->m_stream) {
            QString failure;
            if (self->m_connection->up(failure))
                self->openStream();
            else if (!failure.isEmpty())
                self->endTake(failure);
            else
                self->watchFor(kConnectPoll);
        } else if (self->m_wanted >= 0) {
            const double missing = double(self->m_wanted - self->m_written) / self->m_format.nAvgBytesPerSec;
            self->endTake(QStringLiteral("录音的最后 %1 秒没有从声音服务器送到").arg(missing, 0, 'f', 2));
        } else {
            self->watchQuiet();
        }
    }

    // Loop thread or lock held, while recording: how long the stream has been
    // quiet, and whether the server still answers.
    void watchQuiet()
    {
        const auto now = Clock::now();
        const auto quiet = now - m_heard;
        if (m_ping && now - m_pinged >= kPingTime) {
            endTake(QStringLiteral("声音服务器停止了响应"));
        } else if (quiet >= kSilentTime) {
            endTake(QStringLiteral("录音设备已停止送来声音"));
        } else if (quiet < kQuietTime) {
            watchFor(kQuietTime - quiet);
        } else {
            if (!m_ping) {
                m_pinged = now;
                m_ping =
                    pa_context_get_server_info(m_connection->context(), &PulseCaptureBuffer::onPong, this);
            }
            watchFor(std::min<Clock::duration>(m_pinged + kPingTime - now, kSilentTime - quiet));
        }
    }

    // Loop thread: the server answered.
    static void onPong(pa_context *, const pa_server_info *, void *user)
    {
        auto *self = static_cast<PulseCaptureBuffer *>(user);
        pa_operation_unref(self->m_ping);
        self->m_ping = nullptr;
    }

    // Loop thread or lock held.
    void forgetPing()
    {
        if (!m_ping)
            return;
        pa_operation_cancel(m_ping);
        pa_operation_unref(m_ping);
        m_ping = nullptr;
    }

    // Loop thread. Holes the server reports become silence, so that what
    // follows them stays in its place in time; the recorder hears of them.
    // `readable` is all there is until the loop reads from the server again,
    // and each call into the library costs a system call (its fork check).
    static void onRead(pa_stream *stream, size_t readable, void *user)
    {
        auto *self = static_cast<PulseCaptureBuffer *>(user);
        const auto now = Clock::now();
        if (readable > 0 && !self->m_ended)
            self->soundCame(readable, now);
        const void *data = nullptr;
        size_t size = 0;
        const qint64 before = self->m_written;
        while (!self->m_ended && readable > 0) {
            if (pa_stream_peek(stream, &data, &size) < 0 || size == 0)
                break;
            readable -= std::min(readable, size);
            const qint64 room = self->limit() - self->m_written;
            const qint64 n = std::min<qint64>(room, qint64(size));
            if (n > 0) {
                char *to = self->m_block.data() + self->m_written;
                if (data) {
                    std::memcpy(to, data, size_t(n));
                } else {
                    std::memset(to, silenceByte(self->m_format), size_t(n));
                    self->m_holes += n;
                }
                self->m_written += n;
            }
            pa_stream_drop(stream);
            if (self->m_written >= self->limit())
                self->endTake({});
        }
        // Sound came: the server is there, and the watch need not look before
        // the stream has been quiet for a while (no wake-ups of its own).
        // Putting it off writes to the loop's wake-up pipe, so it is done at
        // most every quarter of that while; the watch counts from m_heard.
        if (self->m_written > before && !self->m_ended && self->m_wanted < 0) {
            self->m_heard = now;
            self->forgetPing();
            if (self->m_heard - self->m_putOff >= kQuietTime / 4) {
                self->m_putOff = self->m_heard;
                self->watchFor(kQuietTime);
            }
        }
    }

    // Loop thread: `readable` more bytes came. No sample can have come before
    // it was captured, so the take's first sample was captured at the latest
    // when the least time passed for what came so far; a source that hands a
    // block over in pieces (a ring buffer that wraps, a full memory block)
    // tells that only with its last piece. A device slow to start gives its
    // first sound long after the stream was made, and the take counts from
    // there; the few milliseconds any device takes are left to the
    // moment of Start, as the server's own pace of delivery is no finer.
    // After Stop, in small fragments, the server may still hold a whole large
    // one of sound from before these.
    void soundCame(size_t readable, Clock::time_point now)
    {
        const bool heardFirst = heard();
        m_received += qint64(readable);
        const auto captured = now
            - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                double(m_received) / m_format.nAvgBytesPerSec));
        if (heardFirst && captured >= m_latest)
            return;
        if (!heardFirst)
            m_firstAfterStop = m_wanted >= 0;
        const auto unseen =
            m_firstAfterStop ? std::chrono::milliseconds(kRecordingFragmentMs) : Clock::duration(0);
        m_latest = captured;
        m_origin = captured - unseen - m_startedAt >= kLateStartTold ? captured : m_startedAt;
        if (m_wanted >= 0)
            m_wanted = wantedAt(m_stoppedAt);
    }

    // Loop thread: the stream broke before the take was complete. A stream
    // that may not move is killed when its device goes.
    static void onState(pa_stream *stream, void *user)
    {
        auto *self = static_cast<PulseCaptureBuffer *>(user);
        pa_threaded_mainloop_signal(self->m_connection->loop(), 0);
        const pa_stream_state_t state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY && self->m_ended) {
            pa_stream_disconnect(stream); // the take ended before the stream could be let go
        } else if (state == PA_STREAM_READY) {
            self->askWhetherSilenced();
        } else if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && !self->m_ended) {
            pa_context *context = self->m_connection->context();
            self->endTake(context && pa_context_errno(context) == PA_ERR_KILLED
                              ? QStringLiteral("录音设备已被拔出或移除")
                              : serverError(context, "录音流中断"));
        }
    }

    // Loop thread: the device or the stream changed, or went.
    static void onChange(pa_context *, pa_subscription_event_type_t event, std::uint32_t index, void *user)
    {
        auto *self = static_cast<PulseCaptureBuffer *>(user);
        if (self->m_ended || !self->m_stream || pa_stream_get_state(self->m_stream) != PA_STREAM_READY)
            return;
        const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && index == pa_stream_get_device_index(self->m_stream)) {
            if (type == PA_SUBSCRIPTION_EVENT_REMOVE)
                self->endTake(QStringLiteral("录音设备已被拔出或移除"));
            else
                self->askWhetherSilenced();
        } else if (facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT
                   && index == pa_stream_get_index(self->m_stream) && type == PA_SUBSCRIPTION_EVENT_CHANGE) {
            self->askWhetherSilenced();
        }
    }

    // Loop thread: whether the device, or this stream of it, is muted or
    // at no volume; the answers come to onSourceInfo and onOutputInfo.
    void askWhetherSilenced()
    {
        pa_context *context = m_connection->context();
        forget(m_sourceQuery);
        forget(m_outputQuery);
        m_sourceQuery = pa_context_get_source_info_by_index(context, pa_stream_get_device_index(m_stream),
                                                            &PulseCaptureBuffer::onSourceInfo, this);
        m_outputQuery = pa_context_get_source_output_info(context, pa_stream_get_index(m_stream),
                                                          &PulseCaptureBuffer::onOutputInfo, this);
    }

    // A stream not yet linked may report a volume of no channels.
    static bool atNoVolume(const pa_cvolume &volume)
    {
        return volume.channels > 0 && pa_cvolume_valid(&volume) && pa_cvolume_max(&volume) == PA_VOLUME_MUTED;
    }

    static void onSourceInfo(pa_context *, const pa_source_info *info, int eol, void *user)
    {
        auto *self = static_cast<PulseCaptureBuffer *>(user);
        if (eol) {
            forget(self->m_sourceQuery);
            return;
        }
        const QString name = QString::fromUtf8(info->description ? info->description : info->name);
        self->m_sourceSilenced = info->mute ? QStringLiteral("录音设备“%1”处于静音状态").arg(name)
            : atNoVolume(info->volume)      ? QStringLiteral("录音设备“%1”的音量为零").arg(name)
                                            : QString();
        self->toldIfSilenced();
    }

    static void onOutputInfo(pa_context *, const pa_source_output_info *info, int eol, void *user)
    {
        auto *self = static_cast<PulseCaptureBuffer *>(user);
        if (eol) {
            forget(self->m_outputQuery);
            return;
        }
        self->m_streamSilenced = info->mute ? QStringLiteral("本程序的录音在系统的声音设置中被设为静音")
            : info->has_volume && atNoVolume(info->volume)
            ? QStringLiteral("本程序的录音音量在系统的声音设置中为零")
            : QString();
        self->toldIfSilenced();
    }

    // Loop thread: the recorder hears when the take becomes silenced, each
    // time it does, not while it stays so. A stream being set up may report
    // no volume for a moment (PipeWire), so it is told once it has lasted.
    void toldIfSilenced()
    {
        const bool silenced = !silencedBecause().isEmpty();
        if (silenced == m_silenced || m_ended)
            return;
        m_silenced = silenced;
        pa_mainloop_api *api = pa_threaded_mainloop_get_api(m_connection->loop());
        if (m_silenceLasts)
            api->time_free(m_silenceLasts);
        m_silenceLasts = nullptr;
        if (silenced)
            m_silenceLasts = timerIn(
                m_connection->context(), kSilenceLasts,
                [](pa_mainloop_api *loop, pa_time_event *event, const timeval *, void *user) {
                    auto *self = static_cast<PulseCaptureBuffer *>(user);
                    loop->time_free(event);
                    self->m_silenceLasts = nullptr;
                    if (!self->m_ended)
                        self->tell(&PulseCaptureBuffer::m_silencedHandler, self->silencedBecause());
                },
                this);
    }

    // The device's own mute first: it is the one a person reaches for.
    QString silencedBecause() const
    {
        return m_sourceSilenced.isEmpty() ? m_streamSilenced : m_sourceSilenced;
    }

    static void forget(pa_operation *&operation)
    {
        if (!operation)
            return;
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
        operation = nullptr;
    }

    // Loop thread or lock held: the take is over, at the last sound that came.
    // A reason says why it is not all that was asked for; the recorder hears
    // it on its own thread, never from this one.
    void endTake(QString reason)
    {
        m_ended = true;
        if (m_wanted >= 0 && m_written > m_wanted)
            m_written = m_wanted; // what came after the Stop is not the take's
        const auto also = [&reason](const QString &more) {
            reason = reason.isEmpty() ? more : reason + QStringLiteral("；") + more;
        };
        if (heard() && m_origin > m_startedAt)
            also(QStringLiteral("录音设备在开始录音 %1 秒后才送来声音，这之前的声音没有录到")
                     .arg(std::chrono::duration<double>(m_origin - m_startedAt).count(), 0, 'f', 2));
        if (m_holes > 0)
            also(QStringLiteral("其中有 %1 秒声音服务器没有送到，那里是静音")
                     .arg(double(m_holes) / m_format.nAvgBytesPerSec, 0, 'f', 2));
        stopWatching();
        if (m_stream && PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
            pa_stream_disconnect(m_stream);
        pa_threaded_mainloop_signal(m_connection->loop(), 0);
        if (!reason.isEmpty())
            tell(&PulseCaptureBuffer::m_interrupted, reason);
    }

    // Loop thread or lock held: `handler` hears `reason` on the recorder's
    // thread, never on this one.
    void tell(InterruptedHandler PulseCaptureBuffer::*handler, const QString &reason)
    {
        QMetaObject::invokeMethod(
            this,
            [this, handler, reason] {
                InterruptedHandler told;
                {
                    Locked lock(m_connection->loop());
                    told = this->*handler;
                }
                if (told)
                    told(reason);
            },
            Qt::QueuedConnection);
    }

    // Loop thread or lock held.
    void stopWatching()
    {
        forgetPing();
        forget(m_sourceQuery);
        forget(m_outputQuery);
        if (m_silenceLasts)
            pa_threaded_mainloop_get_api(m_connection->loop())->time_free(m_silenceLasts);
        m_silenceLasts = nullptr;
        if (m_watch)
            pa_threaded_mainloop_get_api(m_connection->loop())->time_free(m_watch);
        m_watch = nullptr;
    }

    // Lock held.
    void dropStream()
    {
        stopWatching();
        if (!m_stream)
            return;
        if (pa_context *context = m_connection->context())
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_stream_set_state_callback(m_stream, nullptr, nullptr);
        pa_stream_set_read_callback(m_stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(m_stream)))
            pa_stream_disconnect(m_stream);
        pa_stream_unref(m_stream);
        m_stream = nullptr;
    }

    std::shared_ptr<Connection> m_connection;
    WAVEFORMATEX m_format;
    QByteArray m_block;
    pa_stream *m_stream = nullptr;
    pa_time_event *m_watch = nullptr; // the server's answer, a stall, or the tail's deadline
    pa_time_event *m_silenceLasts = nullptr; // muted long enough to be told
    pa_operation *m_ping = nullptr; // a question to the server, still unanswered
    pa_operation *m_sourceQuery = nullptr; // whether the device is silenced
    pa_operation *m_outputQuery = nullptr; // whether this stream of it is
    // All below shared with the loop thread, under its lock.
    qint64 m_written = 0;
    qint64 m_holes = 0; // bytes of it the server reported lost
    qint64 m_wanted = -1; // where Stop cuts the take; -1 while recording
    bool m_started = false;
    bool m_ended = false;
    Clock::time_point m_startedAt; // Start, which the take counts from while no sound came
    Clock::time_point m_origin; // when the take's first sample was captured
    Clock::time_point m_latest; // the latest it can have been, by what came so far
    qint64 m_received = 0; // bytes the server handed over, the take's or not
    bool m_firstAfterStop = false;
    Clock::time_point m_stoppedAt;
    QString m_sourceSilenced, m_streamSilenced; // why, when muted or at no volume
    bool m_silenced = false;
    Clock::time_point m_heard; // when sound last came
    Clock::time_point m_putOff; // when the watch was last put off for it
    Clock::time_point m_pinged;
    InterruptedHandler m_interrupted;
    SilencedHandler m_silencedHandler;
};

// Stands for the default capture device, whichever that is at each Start.
class PulseCapture final : public DirectSoundCapture
{
public:
    explicit PulseCapture(std::shared_ptr<Connection> connection) : m_connection(std::move(connection)) {}

    // Asks nothing of the server: each Start finds its default source anew.
    Status GetCaps(DSCCAPS &caps) override
    {
        if (!m_connection->loop())
            return Status::failure(QStringLiteral("无法启动声音服务的客户端线程"));
        caps = {};
        caps.lChannels = 1;
        return Status::success();
    }

    Status CreateCaptureBuffer(const DSCBUFFERDESC &desc,
                               std::shared_ptr<DirectSoundCaptureBuffer> &buffer) override
    {
        if (Status valid = validateBuffer(desc.fxFormat, desc.lBufferBytes); !valid)
            return valid;
        buffer = std::make_shared<PulseCaptureBuffer>(m_connection, desc);
        return Status::success();
    }

private:
    std::shared_ptr<Connection> m_connection;
};

class PulseSound final : public DirectSound
{
public:
    Status CreateSoundBuffer(const DSBUFFERDESC &desc, const WAVEFORMATEX &format,
                             std::shared_ptr<DirectSoundBuffer> &buffer) override
    {
        if (Status valid = validateBuffer(format, desc.lBufferBytes); !valid)
            return valid;
        buffer = std::make_shared<MemorySoundBuffer>(desc.lBufferBytes, format);
        return Status::success();
    }
};

class PulseDirectX7 final : public DirectX7
{
public:
    Status DirectSoundCaptureCreate(const QString &device,
                                    std::shared_ptr<DirectSoundCapture> &capture) override
    {
        if (Status found = count(device, &pa_context_get_source_info_list,
                                 &DeviceCount::onInfo<pa_source_info>, "没有可用的录音设备");
            !found)
            return found;
        capture = std::make_shared<PulseCapture>(m_connection);
        return Status::success();
    }

    Status DirectSoundCreate(const QString &device, std::shared_ptr<DirectSound> &sound) override
    {
        if (Status found = count(device, &pa_context_get_sink_info_list, &DeviceCount::onInfo<pa_sink_info>,
                                 "没有可用的放音设备");
            !found)
            return found;
        sound = std::make_shared<PulseSound>();
        return Status::success();
    }

private:
    template<typename List, typename Callback>
    Status count(const QString &device, List list, Callback callback, const char *none)
    {
        if (!device.isEmpty())
            return Status::failure(QStringLiteral("只能使用默认设备"));
        return awayFromTheEventLoop([&] { return countNow(list, callback, none); });
    }

    // A server that is slow or hung takes seconds to answer, or to be given up
    // on; the event loop goes on meanwhile, so that nothing waits on it.
    static Status awayFromTheEventLoop(const std::function<Status()> &ask)
    {
        const QCoreApplication *app = QCoreApplication::instance();
        if (!app || QThread::currentThread() != app->thread())
            return ask();
        Status answer;
        QEventLoop loop;
        std::thread asking([&] {
            answer = ask();
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        asking.join();
        return answer;
    }

    template<typename List, typename Callback>
    Status countNow(List list, Callback callback, const char *none)
    {
        Locked lock(m_connection->loop());
        DeviceCount found;
        found.loop = m_connection->loop();
        Status answered =
            m_connection->query([&] { return list(m_connection->context(), callback, &found); }, found.done);
        if (!answered)
            return answered;
        if (found.failed)
            return Status::failure(serverError(m_connection->context(), "声音服务器无法列出设备"));
        if (found.devices == 0)
            return Status::failure(QString::fromUtf8(none));
        return Status::success();
    }

    std::shared_ptr<Connection> m_connection = std::make_shared<Connection>();
};

} // namespace

std::shared_ptr<DirectX7> createSystemAudio()
{
    return std::make_shared<PulseDirectX7>();
}

} // namespace audio
