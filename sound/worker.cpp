// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/worker.h"

#include <QMetaObject>

namespace kestrin::sound {

Worker::Worker(const QString& threadName) {
    m_thread.setObjectName(threadName);
    m_thread.start();
    m_context.moveToThread(&m_thread);
}

Worker::~Worker() {
    finish(QDeadlineTimer::Forever);
}

bool Worker::finish(QDeadlineTimer deadline) {
    abandon();
    m_thread.quit();
    return m_thread.wait(deadline);
}

void Worker::post(Job job) {
    const int generation = m_generation.fetch_add(1) + 1;
    Current current = [this, generation] { return generation == m_generation.load(); };
    QMetaObject::invokeMethod(&m_context, [job = std::move(job), current] {
        // Requests pile up while a slider is dragged or files are opened in
        // turn: only the last counts.
        if (current())
            job(current);
    });
}

void Worker::queue(std::function<void()> job) {
    QMetaObject::invokeMethod(&m_context, std::move(job));
}

void Worker::abandon() {
    m_generation.fetch_add(1);
}

} // namespace kestrin::sound
