#include "platform/work_queue_thread.h"

#include <malloc.h>

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
        job = nullptr;
        if (done && !_stop) {
            QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(done), Qt::QueuedConnection);
        }
        std::lock_guard lock(_mutex);
        if (_jobs.empty() && !_stop) {
            // A load frees far more than it keeps (files read, sounds decoded and dropped): once
            // its result is taken and nothing else is loading, the freed pages go back to the
            // system instead of staying ours for good.
            QMetaObject::invokeMethod(QCoreApplication::instance(), [] { malloc_trim(0); },
                                      Qt::QueuedConnection);
        }
    }
}

}  // namespace tapsound::platform
