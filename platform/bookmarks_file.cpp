#include "platform/bookmarks_file.h"

#include <sys/stat.h>

#include <string_view>

namespace tapsound::platform {

namespace {

constexpr std::string_view kMagic = "tapsound-bookmark 1\n";
constexpr std::size_t kMaxPath = 4096;

// 'd' for a folder, 'f' for anything else that exists; 0 when nothing is there.
char kindOfItem(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? 'd' : 'f';
}

}  // namespace

std::optional<std::vector<std::uint8_t>> FileBookmarks::bookmarkDataWithPath(
    const std::string& path) {
    if (path.empty() || path.front() != '/' || path.size() > kMaxPath ||
        path.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    const char kind = kindOfItem(path);
    if (!kind) return std::nullopt;
    std::vector<std::uint8_t> data(kMagic.begin(), kMagic.end());
    data.push_back(static_cast<std::uint8_t>(kind));
    data.push_back('\n');
    data.insert(data.end(), path.begin(), path.end());
    return data;
}

ResolvedBookmark FileBookmarks::URLByResolvingBookmarkData(const std::vector<std::uint8_t>& data) {
    ResolvedBookmark resolved;
    const std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    const std::size_t header = kMagic.size() + 2;
    if (bytes.size() <= header || bytes.substr(0, kMagic.size()) != kMagic ||
        bytes[kMagic.size() + 1] != '\n') {
        resolved.error = true;
        return resolved;
    }
    const char kind = bytes[kMagic.size()];
    resolved.path = std::string(bytes.substr(header));
    if ((kind != 'd' && kind != 'f') || resolved.path.front() != '/' ||
        resolved.path.size() > kMaxPath || resolved.path.find('\0') != std::string::npos) {
        resolved.error = true;
        resolved.path.clear();
        return resolved;
    }
    const char now = kindOfItem(resolved.path);
    if (!now) {
        resolved.error = true;
    } else if (now != kind) {
        resolved.stale = true;
    }
    return resolved;
}

}  // namespace tapsound::platform
