#include "BackgroundWork.h"

#include <QMetaObject>

BackgroundWork::~BackgroundWork() {
    m_cancel = true;
    std::list<Worker> workers;
    {
        std::lock_guard lock(m_mutex);
        workers.swap(m_workers);
    }
    for (Worker& w : workers) w.thread.join();
}

void BackgroundWork::run(Job job) {
    joinFinished();
    std::lock_guard lock(m_mutex);
    Worker& worker = m_workers.emplace_back();
    worker.thread = std::thread([this, &worker, job = std::move(job)] {
        Finish finish = job(m_cancel);
        // Queued to the owner's thread: dropped with this object, so it never runs after it.
        if (finish && !m_cancel) QMetaObject::invokeMethod(this, std::move(finish), Qt::QueuedConnection);
        std::lock_guard lock(m_mutex);
        worker.done = true;
    });
}

void BackgroundWork::joinFinished() {
    std::list<Worker> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_workers.begin(); it != m_workers.end();)
            if (it->done)
                finished.splice(finished.end(), m_workers, it++);
            else
                ++it;
    }
    for (Worker& w : finished) w.thread.join();
}
