#pragma once

#include <QStringList>
#include <optional>

namespace tapsound {

struct CommandLine {
    QStringList paths;            // absolute, to open
    std::optional<int> exitCode;  // set when the program is to end at once with it
};

// Reads the arguments (the program's name first) in the manner of Linux tools: --help and
// --version print and end with 0, an unknown option prints an error to stderr and ends with 2.
CommandLine parseCommandLine(const QStringList& arguments);

}  // namespace tapsound
