#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tapsound::platform {

struct ResolvedBookmark {
    std::string path;
    bool stale = false;
    bool error = false;
};

// Remembers a location across launches as opaque data.
class Bookmarks {
public:
    virtual ~Bookmarks() = default;
    virtual std::optional<std::vector<std::uint8_t>> bookmarkDataWithPath(const std::string& path) = 0;
    virtual ResolvedBookmark URLByResolvingBookmarkData(const std::vector<std::uint8_t>& data) = 0;
};

}  // namespace tapsound::platform
