#include "pulseloop.h"

#include <pthread.h>

#include <algorithm>
#include <array>
#include <system_error>

namespace audio {

namespace {

using Clock = std::chrono::steady_clock;

// How long the socket is left alone between batches while a take records: a
// few packets a batch. While recording, what has been read lags the sound by
// at most this; Stop turns batching off, so the end of a take is not held up.
constexpr auto kBatchTime = std::chrono::milliseconds(100);

} // namespace

PulseLoop::PulseLoop(pa_mainloop *loop) : m_loop(loop)
{
    pa_mainloop_set_poll_func(m_loop, &PulseLoop::poll, this);
}

std::unique_ptr<PulseLoop> PulseLoop::start()
{
    pa_mainloop *loop = pa_mainloop_new();
    if (!loop)
        return nullptr;
    std::unique_ptr<PulseLoop> self(new PulseLoop(loop));
    {
        // A first turn while nothing else is on the loop: the one descriptor
        // it polls is its wake-up pipe.
        std::lock_guard lock(self->m_mutex);
        self->m_wakeUp = -2;
        pa_mainloop_iterate(loop, 0, nullptr);
        if (self->m_wakeUp == -2)
            self->m_wakeUp = -1;
    }
    try {
        self->m_thread = std::thread([loop = self.get()] { loop->run(); });
    } catch (const std::system_error &) {
        return nullptr;
    }
    return self;
}

PulseLoop::~PulseLoop()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            pa_mainloop_quit(m_loop, 0); // the thread's next turn returns at once
        }
        m_thread.join();
    }
    pa_mainloop_free(m_loop);
}

void PulseLoop::wait()
{
    std::unique_lock lock(m_mutex, std::adopt_lock);
    m_signal.wait(lock);
    lock.release();
}

void PulseLoop::setBatched(bool batched)
{
    if (m_batched == batched)
        return;
    m_batched = batched;
    if (!batched)
        pa_mainloop_wakeup(m_loop); // whatever waits in the socket is wanted now
}

void PulseLoop::run()
{
    pthread_setname_np(pthread_self(), "sound-loop");
    std::unique_lock lock(m_mutex);
    while (pa_mainloop_iterate(m_loop, 1, nullptr) >= 0) {}
}

// Loop thread, lock held; the lock is let go while the thread sleeps.
int PulseLoop::poll(pollfd *fds, unsigned long count, int timeout, void *user)
{
    auto *self = static_cast<PulseLoop *>(user);
    if (self->m_wakeUp == -2) {
        self->m_wakeUp = count == 1 ? fds[0].fd : -1;
        return ::poll(fds, count, timeout);
    }
    const bool batched = self->m_batched && self->m_wakeUp >= 0;
    if (batched && !self->m_wasBatched)
        self->m_batch = Batch{};
    self->m_wasBatched = batched;
    self->m_mutex.unlock();
    const int ready = batched ? self->batchedPoll(fds, count, timeout) : ::poll(fds, count, timeout);
    self->m_mutex.lock();
    return ready;
}

namespace {

int msUntil(Clock::time_point until)
{
    if (until == Clock::time_point::max())
        return -1;
    return int(
        std::max<Clock::rep>(0, std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count()));
}

} // namespace

bool PulseLoop::serverSpoke(const pollfd *fds, unsigned long count) const
{
    for (unsigned long i = 0; i < count; ++i) {
        if (fds[i].fd != m_wakeUp && fds[i].revents)
            return true;
    }
    return false;
}

// A source that posts often (a hundred packets a second is common) is read a
// batch at a time; one that posts seldom is read as it comes, as batches
// would only add wake-ups.
int PulseLoop::batchedPoll(pollfd *fds, unsigned long count, int timeout)
{
    std::array<short, 8> events;
    if (count > events.size())
        return ::poll(fds, count, timeout);
    Batch &b = m_batch;
    const auto now = Clock::now();
    const auto deadline = timeout < 0 ? Clock::time_point::max() : now + std::chrono::milliseconds(timeout);
    if (b.reading) {
        // The library reads one message a turn: go on while there are more.
        if (const int ready = ::poll(fds, count, 0); ready != 0)
            return ready;
        b.reading = false;
        b.nextRead = b.often ? now + kBatchTime : now;
    }
    if (now < b.nextRead) {
        // Meanwhile only the wake-up pipe and the timers. A connection that
        // breaks still shows at once: hang-ups and errors need no events.
        for (unsigned long i = 0; i < count; ++i) {
            events[i] = fds[i].events;
            if (fds[i].fd != m_wakeUp)
                fds[i].events = 0;
        }
        const int ready = ::poll(fds, count, msUntil(std::min(deadline, b.nextRead)));
        for (unsigned long i = 0; i < count; ++i)
            fds[i].events = events[i];
        if (ready != 0 || Clock::now() < b.nextRead)
            return ready;
        const int waiting = ::poll(fds, count, 0);
        b.reading = serverSpoke(fds, count);
        b.often = b.reading;
        if (waiting != 0)
            return waiting;
    }
    const int ready = ::poll(fds, count, msUntil(deadline));
    if (ready > 0 && serverSpoke(fds, count)) {
        const auto came = Clock::now();
        b.often = came - b.lastCame < kBatchTime;
        b.lastCame = came;
        b.reading = true;
    }
    return ready;
}

} // namespace audio
