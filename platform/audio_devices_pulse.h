#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/audio_devices.h"

struct pa_context;
struct pa_mainloop_api;
struct pa_sink_info;
struct pa_threaded_mainloop;
struct pa_time_event;
struct timeval;

namespace tapsound::platform {

// The outputs of a PulseAudio server, or of PipeWire through its pulse server, whose names are
// its nodes' names. `changed` hears the whole list, on the watcher's thread: once connected and
// after every change (an empty list while no server answers).
class PulseOutputDevices : public OutputDevices {
  public:
    explicit PulseOutputDevices(std::function<void(std::vector<OutputDevice>)> changed);
    ~PulseOutputDevices() override;
    PulseOutputDevices(const PulseOutputDevices&) = delete;
    PulseOutputDevices& operator=(const PulseOutputDevices&) = delete;

  private:
    void connectLocked();
    void disconnectLocked();
    void listLocked();
    void report(std::vector<OutputDevice> outputs);

    static void onContextState(pa_context* context, void* self);
    static void onEvent(pa_context* context, unsigned type, unsigned index, void* self);
    static void onSink(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void onRetry(pa_mainloop_api* api, pa_time_event* event, const timeval* due, void* self);

    std::function<void(std::vector<OutputDevice>)> _changed;
    pa_threaded_mainloop* _mainloop = nullptr;
    pa_context* _context = nullptr;
    pa_time_event* _retry = nullptr;
    bool _listing = false;  // a listing is under way
    bool _stale = false;    // and something changed since it began
    std::vector<OutputDevice> _gathering;
    std::vector<OutputDevice> _reported;
    bool _reportedAny = false;
};

}  // namespace tapsound::platform
