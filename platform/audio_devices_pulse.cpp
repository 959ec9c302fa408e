#include "platform/audio_devices_pulse.h"

#include <pulse/pulseaudio.h>

#include <utility>

namespace tapsound::platform {

namespace {

constexpr pa_usec_t kRetryUsec = PA_USEC_PER_SEC;

}  // namespace

PulseOutputDevices::PulseOutputDevices(std::function<void(std::vector<OutputDevice>)> changed)
    : _changed(std::move(changed)) {
    _mainloop = pa_threaded_mainloop_new();
    if (!_mainloop) return;
    pa_threaded_mainloop_set_name(_mainloop, "tapsound-outputs");
    if (pa_threaded_mainloop_start(_mainloop) < 0) {
        pa_threaded_mainloop_free(_mainloop);
        _mainloop = nullptr;
        return;
    }
    pa_threaded_mainloop_lock(_mainloop);
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(_mainloop);
    _retry = api->time_new(api, nullptr, &PulseOutputDevices::onRetry, this);
    connectLocked();
    pa_threaded_mainloop_unlock(_mainloop);
}

PulseOutputDevices::~PulseOutputDevices() {
    if (!_mainloop) return;
    pa_threaded_mainloop_lock(_mainloop);
    disconnectLocked();
    pa_threaded_mainloop_get_api(_mainloop)->time_free(_retry);
    pa_threaded_mainloop_unlock(_mainloop);
    pa_threaded_mainloop_stop(_mainloop);
    pa_threaded_mainloop_free(_mainloop);
}

void PulseOutputDevices::connectLocked() {
    _context = pa_context_new(pa_threaded_mainloop_get_api(_mainloop), "tapsound outputs");
    if (!_context) return;
    pa_context_set_state_callback(_context, &PulseOutputDevices::onContextState, this);
    pa_context_set_subscribe_callback(
        _context,
        [](pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
           void* self) { onEvent(context, type, index, self); },
        this);
    if (pa_context_connect(_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        timeval due{};
        pa_timeval_add(pa_gettimeofday(&due), kRetryUsec);
        pa_threaded_mainloop_get_api(_mainloop)->time_restart(_retry, &due);
    }
}

void PulseOutputDevices::disconnectLocked() {
    if (!_context) return;
    pa_context_set_state_callback(_context, nullptr, nullptr);
    pa_context_set_subscribe_callback(_context, nullptr, nullptr);
    pa_context_disconnect(_context);
    pa_context_unref(_context);
    _context = nullptr;
    _listing = _stale = false;
}

void PulseOutputDevices::onRetry(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
    auto* devices = static_cast<PulseOutputDevices*>(self);
    devices->disconnectLocked();
    devices->connectLocked();
}

void PulseOutputDevices::onContextState(pa_context* context, void* self) {
    auto* devices = static_cast<PulseOutputDevices*>(self);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                                  PA_SUBSCRIPTION_MASK_SERVER);
            if (pa_operation* subscribe = pa_context_subscribe(context, mask, nullptr, nullptr))
                pa_operation_unref(subscribe);
            devices->listLocked();
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: {
            // No server, no outputs to choose: the sound goes to whatever default comes back.
            devices->report({});
            timeval due{};
            pa_timeval_add(pa_gettimeofday(&due), kRetryUsec);
            pa_threaded_mainloop_get_api(devices->_mainloop)->time_restart(devices->_retry, &due);
            break;
        }
        default:
            break;
    }
}

void PulseOutputDevices::onEvent(pa_context*, unsigned type, unsigned, void* self) {
    // A sink changes whenever it suspends or its volume moves: only outputs coming and going
    // (and the server's own changes) can change the list worth a look.
    const bool sinkChanged =
        (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SINK &&
        (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_CHANGE;
    if (!sinkChanged) static_cast<PulseOutputDevices*>(self)->listLocked();
}

// One listing at a time; events during it ask for one more once it ends.
void PulseOutputDevices::listLocked() {
    if (_listing) {
        _stale = true;
        return;
    }
    _gathering.clear();
    pa_operation* list = pa_context_get_sink_info_list(_context, &PulseOutputDevices::onSink, this);
    if (!list) return;
    pa_operation_unref(list);
    _listing = true;
    _stale = false;
}

void PulseOutputDevices::onSink(pa_context*, const pa_sink_info* info, int eol, void* self) {
    auto* devices = static_cast<PulseOutputDevices*>(self);
    if (eol == 0 && info && info->name) {
        devices->_gathering.push_back(
            {info->name, info->description ? info->description : std::string()});
        return;
    }
    devices->_listing = false;
    if (devices->_stale) {
        devices->listLocked();
        return;
    }
    // eol < 0: the listing failed; what was reported stands until the next event.
    if (eol > 0) devices->report(std::move(devices->_gathering));
}

void PulseOutputDevices::report(std::vector<OutputDevice> outputs) {
    if (_reportedAny && outputs == _reported) return;
    _reportedAny = true;
    _reported = outputs;
    if (_changed) _changed(std::move(outputs));
}

}  // namespace tapsound::platform
