#pragma once

#include <string>

namespace tapsound::platform {

// A sound server's output, as the Output menu lists it.
struct OutputDevice {
    std::string name;         // stable across plugging and restarts
    std::string description;  // what the user reads
    bool operator==(const OutputDevice&) const = default;
};

// Watches the server's outputs while alive, by its events; says so on its own thread.
class OutputDevices {
  public:
    virtual ~OutputDevices() = default;
};

}  // namespace tapsound::platform
