#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

// Work that must not hold up the main thread (ssh's judgement of an option, an import), each
// job on a thread of its own. A job returns what is to be done with its result, and that runs
// on the owner's thread. Destroying the owner sets the cancel flag the jobs poll and waits for
// them; their results are then dropped.
class BackgroundWork : public QObject {
    Q_OBJECT
public:
    using Finish = std::function<void()>;
    using Job = std::function<Finish(const std::atomic<bool>& cancel)>;

    explicit BackgroundWork(QObject* parent = nullptr) : QObject(parent) {}
    ~BackgroundWork() override;

    void run(Job job);

private:
    struct Worker {
        std::thread thread;
        bool done = false;
    };
    void joinFinished();

    std::atomic<bool> m_cancel{false};
    std::mutex m_mutex;
    std::list<Worker> m_workers;
};
