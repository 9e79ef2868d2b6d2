// SPDX-License-Identifier: GPL-3.0-or-later
// A thread for background work of which only the newest request matters: a
// summary, a loop search or a seam measure asked for again replaces the one
// before. Work that must all be done (frames read for the seam view) is
// queued instead.
//
// Threads: the UI thread makes and destroys a Worker and calls post(),
// queue() and abandon(). Jobs run on the worker's own thread, one after
// another in the order given. A posted job is handed a `current` test that
// any thread may call; one posted before the newest post is skipped, and one
// already running is expected to stop at its next step once `current` turns
// false. Queued jobs always run.
#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>

namespace kestrin::sound {

class Worker {
public:
    // Whether the job that was handed it is still the newest one.
    using Current = std::function<bool()>;
    using Job = std::function<void(const Current& current)>;

    explicit Worker(const QString& threadName);
    // Abandons the running job and waits for it to stop.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Queues `job`, abandoning whatever was posted before.
    void post(Job job);
    // Queues `job` to run after those before it, abandoning nothing.
    void queue(std::function<void()> job);
    // Abandons whatever was posted; it reports nothing more.
    void abandon();
    // Abandons whatever was posted, drops the jobs not yet begun and lets
    // the thread end after the one running; true once it has ended, waited
    // for until `deadline`. Nothing can be posted or queued afterwards.
    bool finish(QDeadlineTimer deadline);

private:
    QThread m_thread;
    QObject m_context; // lives on m_thread: jobs run in its event loop
    std::atomic<int> m_generation{0};
};

} // namespace kestrin::sound
