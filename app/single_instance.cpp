#include "app/single_instance.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace tapsound {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStarting = 10s;      // how long a later start waits for the first to listen
constexpr auto kRequestTime = 2s;    // for a later start to send its request
constexpr int kMaxConnections = 16;  // beyond it the oldest is dropped, so none can block us
constexpr std::size_t kMaxRequestBytes = 64 * 1024;
constexpr auto kMaxBackoff = 500ms;  // between accepts while out of descriptors

std::string errorText(int error) { return std::strerror(error); }

// A stable short tag, so distinct long or odd display names stay distinct once shortened.
std::string hashTag(const std::string& text) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
    char tag[9];
    std::snprintf(tag, sizeof tag, "%08x", hash);
    return tag;
}

// The session is told by its display: a second login of the same user has another one.
std::string sessionName() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    std::string display;
    if (wayland && *wayland) {
        display = std::string("wayland-") + wayland;
    } else if (x11 && *x11) {
        std::string name = x11;
        if (name.rfind("unix:", 0) == 0) name.erase(0, 4);
        // ":0" and ":0.0" are the same display, screens aside.
        const auto colon = name.rfind(':');
        const auto dot = name.find('.', colon == std::string::npos ? 0 : colon);
        if (colon != std::string::npos && dot != std::string::npos) name.erase(dot);
        display = "x11-" + name;
    } else {
        display = "nodisplay";
    }
    std::string safe;
    for (char c : display)
        safe += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' ? c : '_';
    if (safe != display || safe.size() > 40) safe = safe.substr(0, 40) + "-" + hashTag(display);
    return safe;
}

// Opens the folder, making it when missing; refused unless it is a real folder of this user that
// nobody else may enter.
int openPrivateFolder(const std::string& path, std::string& problem) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = path + ": " + errorText(errno);
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        problem = path + ": " +
                  (errno == ELOOP || errno == ENOTDIR ? "not a folder but a link or a file"
                                                      : errorText(errno));
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        problem =
            path + (st.st_uid != geteuid() ? ": owned by another user" : ": open to other users");
        ::close(fd);
        return -1;
    }
    return fd;
}

bool peerIsUs(int fd) {
    struct ucred peer {};
    socklen_t length = sizeof peer;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == geteuid();
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

struct SingleInstance::Connection {
    int fd = -1;
    std::string request;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QTimer> deadline;
};

SingleInstance::SingleInstance(std::string folder, std::string name)
    : _folder(std::move(folder)),
      _socketPath(_folder + "/" + name + ".socket"),
      _context(std::make_unique<QObject>()) {}

SingleInstance::~SingleInstance() {
    while (!_connections.empty()) close(_connections.begin()->first);
    _context.reset();
    if (_listener >= 0) {
        ::close(_listener);
        ::unlink(_socketPath.c_str());
    }
    if (_lock >= 0) ::close(_lock);
    if (_folderFd >= 0) ::close(_folderFd);
}

std::unique_ptr<SingleInstance> SingleInstance::forThisSession() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    struct stat st {};
    std::string folder;
    if (runtime && runtime[0] == '/' && stat(runtime, &st) == 0 && S_ISDIR(st.st_mode)) {
        folder = std::string(runtime) + "/tapsound";
    } else {
        const char* temp = std::getenv("TMPDIR");
        folder = std::string(temp && temp[0] == '/' ? temp : "/tmp") + "/tapsound-" +
                 std::to_string(geteuid());
    }
    return std::make_unique<SingleInstance>(folder, sessionName());
}

SingleInstance::Claim SingleInstance::claim() {
    sockaddr_un address;
    if (!fillAddress(_socketPath, address)) {
        _problem = _socketPath + ": " + errorText(ENAMETOOLONG);
        return Claim::Alone;
    }
    _folderFd = openPrivateFolder(_folder, _problem);
    if (_folderFd < 0) return Claim::Alone;
    const std::string lockName = _socketPath.substr(_folder.size() + 1) + ".lock";
    _lock = openat(_folderFd, lockName.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (_lock < 0) {
        _problem = _folder + "/" + lockName + ": " + errorText(errno);
        return Claim::Alone;
    }
    if (flock(_lock, LOCK_EX | LOCK_NB) == 0) return Claim::First;
    if (errno == EWOULDBLOCK) return Claim::Running;
    _problem = _folder + "/" + lockName + ": " + errorText(errno);
    return Claim::Alone;
}

SingleInstance::Answer SingleInstance::forward(const std::optional<std::string>& path,
                                               std::chrono::milliseconds waitForAnswer) {
    sockaddr_un address;
    if (!fillAddress(_socketPath, address)) return Answer::Unanswered;
    int fd = -1;
    for (const auto giveUp = Clock::now() + kStarting;;) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            _problem = errorText(errno);
            return Answer::Unanswered;
        }
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
        ::close(fd);
        if (Clock::now() >= giveUp) {
            _problem = "the running tapsound does not answer";
            return Answer::Unanswered;
        }
        std::this_thread::sleep_for(50ms);
    }
    const auto closing = [fd](Answer answer) {
        ::close(fd);
        return answer;
    };
    if (!peerIsUs(fd)) {
        _problem = _socketPath + ": answered by another user";
        return closing(Answer::Unanswered);
    }
    const timeval sendTime{.tv_sec = 2, .tv_usec = 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTime, sizeof sendTime);
    std::string request = path ? *path + "\n" : std::string();
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            _problem = "the running tapsound does not answer";
            return closing(Answer::Unanswered);
        }
        sent += static_cast<std::size_t>(n);
    }
    shutdown(fd, SHUT_WR);
    // An instance that ends the connection without a word took the path as it always has.
    std::string reply;
    const auto giveUp = Clock::now() + waitForAnswer;
    for (char buffer[64]; reply.size() < 64;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
        pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    return closing(reply.rfind("no-sound", 0) == 0 ? Answer::NoSound : Answer::Opened);
}

bool SingleInstance::listen(std::function<void(const std::string&, Reply)> onOpen) {
    sockaddr_un address;
    if (_lock < 0 || !fillAddress(_socketPath, address)) return false;
    _onOpen = std::move(onOpen);
    // Holding the lock, a socket left here is a killed instance's.
    unlinkat(_folderFd, _socketPath.substr(_folder.size() + 1).c_str(), 0);
    _listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (_listener < 0) return false;
    if (bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(_listener, 64) != 0) {
        ::close(_listener);
        _listener = -1;
        return false;
    }
    _accepting = new QSocketNotifier(_listener, QSocketNotifier::Read, _context.get());
    QObject::connect(_accepting, &QSocketNotifier::activated, _context.get(),
                     [this] { acceptConnections(); });
    return true;
}

void SingleInstance::acceptConnections() {
    for (;;) {
        const int fd = accept4(_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            // Out of descriptors or memory: the socket stays, and accepting resumes a little later.
            _backoff =
                std::min<std::chrono::milliseconds>(std::max(_backoff * 2, 20ms), kMaxBackoff);
            _accepting->setEnabled(false);
            QTimer::singleShot(_backoff, _context.get(), [this] {
                _accepting->setEnabled(true);
                acceptConnections();
            });
            return;
        }
        _backoff = 0ms;
        if (!peerIsUs(fd)) {
            ::close(fd);
            continue;
        }
        if (_connections.size() >= kMaxConnections) close(_connections.begin()->first);
        const std::uint64_t id = _nextId++;
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->readable = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(connection->readable.get(), &QSocketNotifier::activated, _context.get(),
                         [this, id] { readRequest(id); });
        connection->deadline = std::make_unique<QTimer>();
        connection->deadline->setSingleShot(true);
        QObject::connect(connection->deadline.get(), &QTimer::timeout, _context.get(),
                         [this, id] { close(id); });
        connection->deadline->start(kRequestTime);
        _connections.emplace(id, std::move(connection));
    }
}

void SingleInstance::readRequest(std::uint64_t id) {
    const auto found = _connections.find(id);
    if (found == _connections.end()) return;
    Connection& connection = *found->second;
    char buffer[4096];
    for (;;) {
        const ssize_t n = recv(connection.fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || connection.request.size() + static_cast<std::size_t>(n) > kMaxRequestBytes) {
            close(id);
            return;
        }
        if (n == 0) break;
        connection.request.append(buffer, static_cast<std::size_t>(n));
    }
    // The whole request is in (the sender closed its side): the last path named wins.
    connection.readable->setEnabled(false);
    connection.deadline->stop();
    std::string path;
    for (std::size_t start = 0; start < connection.request.size();) {
        std::size_t end = connection.request.find('\n', start);
        if (end == std::string::npos) end = connection.request.size();
        if (end > start) path = connection.request.substr(start, end - start);
        start = end + 1;
    }
    if (path.empty() || path.find('\0') != std::string::npos) {
        answer(id, "opened\n");
        return;
    }
    _onOpen(path,
            [this, id](bool heldSound) { answer(id, heldSound ? "opened\n" : "no-sound\n"); });
}

void SingleInstance::answer(std::uint64_t id, const char* text) {
    const auto found = _connections.find(id);
    if (found == _connections.end()) return;
    // A few bytes into a fresh socket's buffer; a peer that has gone simply misses them.
    [[maybe_unused]] const ssize_t sent =
        send(found->second->fd, text, std::strlen(text), MSG_NOSIGNAL | MSG_DONTWAIT);
    close(id);
}

void SingleInstance::close(std::uint64_t id) {
    const auto found = _connections.find(id);
    if (found == _connections.end()) return;
    // Called from their own signals: they go once those have returned.
    found->second->readable->setEnabled(false);
    found->second->readable.release()->deleteLater();
    found->second->deadline->stop();
    found->second->deadline.release()->deleteLater();
    ::close(found->second->fd);
    _connections.erase(found);
}

}  // namespace tapsound
