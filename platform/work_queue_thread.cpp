#include "platform/work_queue_thread.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace tapsound::platform {

ThreadWorkQueue::ThreadWorkQueue() : _thread([this] { loop(); }) {}

ThreadWorkQueue::~ThreadWorkQueue() {
    {
        std::lock_guard lock(_mutex);
        _stop = true;
    }
    _wake.notify_one();
    _thread.join();
}

void ThreadWorkQueue::run(Job job) {
    {
        std::lock_guard lock(_mutex);
        _jobs.push_back(std::move(job));
    }
    _wake.notify_one();
}

void ThreadWorkQueue::loop() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(_mutex);
            _wake.wait(lock, [this] { return _stop || !_jobs.empty(); });
            if (_stop) return;
            job = std::move(_jobs.front());
            _jobs.pop_front();
        }
        Done done = job(_stop);
        if (done && !_stop) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(done), Qt::QueuedConnection);
        }
    }
}

}  // namespace tapsound::platform
