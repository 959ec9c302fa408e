#pragma once

#include <atomic>
#include <functional>

namespace tapsound::platform {

// Runs slow work (decoding a sound set) away from the main thread and hands its result back to it,
// so the tray and key presses never wait on a load.
class WorkQueue {
public:
    // What to do with the result, on the main thread.
    using Done = std::function<void()>;
    // The work; it should end early once `stop` is set (the program is quitting).
    using Job = std::function<Done(const std::atomic<bool>& stop)>;

    virtual ~WorkQueue() = default;
    virtual void run(Job job) = 0;
};

}  // namespace tapsound::platform
