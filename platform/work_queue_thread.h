#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/work_queue.h"

namespace tapsound::platform {

// Jobs one after another on a thread of its own; results return through the Qt event loop. Going
// away, it tells a running job to stop and waits for it, so quitting during a load is quick.
class ThreadWorkQueue : public WorkQueue {
public:
    ThreadWorkQueue();
    ~ThreadWorkQueue() override;
    void run(Job job) override;

private:
    void loop();

    std::mutex _mutex;
    std::condition_variable _wake;
    std::deque<Job> _jobs;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

}  // namespace tapsound::platform
