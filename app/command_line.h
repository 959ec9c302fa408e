#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tapsound {

// A location named on the command line: as the user wrote it, and absolute (bytes as given, so a
// name that is not UTF-8 still opens).
struct CommandLinePath {
    std::string given;
    std::string absolute;
};

struct CommandLine {
    std::vector<CommandLinePath> paths;
    std::optional<int> exitCode;  // set when the program is to end at once with it
};

// Reads the arguments (the program's name first) in the manner of Linux tools: --help and
// --version print and end with 0, an unknown option prints an error to stderr and ends with 2.
CommandLine parseCommandLine(int argc, char** argv);

// Why a location cannot be opened, in the system's words; nothing when it can be read.
std::optional<std::string> whyUnreadable(const std::string& path);

// Why no window can be shown (no display named, or it refuses us); nothing when one can.
std::optional<std::string> whyNoDisplay();

}  // namespace tapsound
