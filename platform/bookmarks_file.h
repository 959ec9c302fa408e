#pragma once

#include "platform/bookmarks.h"

namespace tapsound::platform {

// A bookmark is the absolute path and the kind of item (file or folder) it named.
class FileBookmarks : public Bookmarks {
public:
    std::optional<std::vector<std::uint8_t>> bookmarkDataWithPath(const std::string& path) override;
    ResolvedBookmark URLByResolvingBookmarkData(const std::vector<std::uint8_t>& data) override;
};

}  // namespace tapsound::platform
