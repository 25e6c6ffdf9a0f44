// The client library's main loop on a thread of its own, with the lock, wait
// and signal of pa_threaded_mainloop. While a take records from a source that
// posts often, the server's socket is read in batches instead of at every
// packet: a source may post a hundred small packets a second, and each one
// costs a wake-up and a dozen system calls. Requests from other threads,
// timers and a broken connection are served at once.
#pragma once

#include <pulse/mainloop.h>

#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace audio {

class PulseLoop
{
public:
    // Null when the loop or its thread cannot be made.
    static std::unique_ptr<PulseLoop> start();
    ~PulseLoop();
    PulseLoop(const PulseLoop &) = delete;
    PulseLoop &operator=(const PulseLoop &) = delete;

    pa_mainloop_api *api() const { return pa_mainloop_get_api(m_loop); }

    // From other threads. The loop thread holds the lock while it dispatches.
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    // Lock held, once, from another thread: until signal() (or spuriously).
    void wait();
    // Loop thread or lock held.
    void signal() { m_signal.notify_all(); }

    // Lock held: whether the socket is read in batches (while a take
    // records), or as soon as anything comes (a take's end, questions).
    void setBatched(bool batched);

private:
    explicit PulseLoop(pa_mainloop *loop);
    void run();
    static int poll(pollfd *fds, unsigned long count, int timeout, void *self);
    int batchedPoll(pollfd *fds, unsigned long count, int timeout);
    bool serverSpoke(const pollfd *fds, unsigned long count) const;

    pa_mainloop *m_loop;
    std::recursive_mutex m_mutex;
    std::condition_variable_any m_signal;
    int m_wakeUp = -1; // the loop's own wake-up pipe, which other threads write to
    bool m_batched = false;
    // The loop thread's own, lock or not.
    struct Batch
    {
        bool reading = false; // messages are waiting; read them one a turn
        bool often = false; // the last two came within a batch's time
        std::chrono::steady_clock::time_point nextRead; // the socket is left alone until then
        std::chrono::steady_clock::time_point lastCame;
    } m_batch;
    bool m_wasBatched = false;
    std::thread m_thread;
};

} // namespace audio
