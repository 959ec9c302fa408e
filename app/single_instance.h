#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QObject;
class QSocketNotifier;

namespace tapsound {

// One tapsound per graphical session of a user: a second start hands its path to the running one,
// hears whether it held any sound, and exits. The first takes a lock (released by the kernel
// however the process ends) before anything else, so two starts at the same moment cannot both
// stay up. Lock and socket live in a folder only the user may enter; a folder that is not that
// (someone else's, open to others, a link) is not used, and tapsound runs alone.
class SingleInstance {
  public:
    enum class Claim { First, Running, Alone };
    enum class Answer { Opened, NoSound, Unanswered };
    using Reply = std::function<void(bool heldSound)>;

    // The folder holding lock and socket (made private when missing) and the session's name.
    SingleInstance(std::string folder, std::string name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // $XDG_RUNTIME_DIR/tapsound (or $TMPDIR/tapsound-UID), named after the session's display.
    static std::unique_ptr<SingleInstance> forThisSession();

    Claim claim();
    // Why the instance runs alone, or why the running one did not answer.
    const std::string& problem() const { return _problem; }

    // Hands the path (or nothing) to the running instance, waiting a while for one still starting,
    // then up to `waitForAnswer` for whether the path held any sound.
    Answer forward(const std::optional<std::string>& path, std::chrono::milliseconds waitForAnswer);

    // Starts answering later starts from the Qt event loop; each forwarded path goes to onOpen,
    // whose reply (called at most once, at any time) answers the start that sent it.
    bool listen(std::function<void(const std::string& path, Reply reply)> onOpen);

  private:
    struct Connection;
    void acceptConnections();
    void readRequest(std::uint64_t id);
    void answer(std::uint64_t id, const char* text);
    void close(std::uint64_t id);

    std::string _folder, _socketPath, _problem;
    int _folderFd = -1, _lock = -1, _listener = -1;
    std::unique_ptr<QObject> _context;  // owns the notifiers and timers
    QSocketNotifier* _accepting = nullptr;
    std::chrono::milliseconds _backoff{0};
    std::function<void(const std::string&, Reply)> _onOpen;
    std::map<std::uint64_t, std::unique_ptr<Connection>> _connections;  // oldest first
    std::uint64_t _nextId = 0;
};

}  // namespace tapsound
