#include "platform/focus_wayland.h"

#include <wayland-client.h>

#include <QGuiApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cstring>
#include <vector>

#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"

namespace tapsound::platform {

namespace {

// Version 2 adds the full-screen state, 3 the parent event; later ones are not known here.
constexpr std::uint32_t kNewestVersion = 3;

struct Toplevel {
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    WindowFocus::Window pending, shown;
    bool pendingActive = false, active = false;
};

class WaylandFocusWatcher : public WaylandFocus {
  public:
    WaylandFocusWatcher(wl_display* display, Changed changed)
        : _display(display),
          _changed(std::move(changed)),
          _own(QGuiApplication::desktopFileName()),
          _registry(wl_display_get_registry(display)) {
        wl_registry_add_listener(_registry, &kRegistryListener, this);
    }

    ~WaylandFocusWatcher() override {
        _notifier.reset();
        for (const auto& toplevel : _toplevels) {
            zwlr_foreign_toplevel_handle_v1_destroy(toplevel->handle);
        }
        if (_manager) zwlr_foreign_toplevel_manager_v1_destroy(_manager);
        wl_registry_destroy(_registry);
        wl_display_disconnect(_display);
    }

    // The globals, then the toplevels as they stand; false where the compositor does not tell.
    bool start() {
        if (wl_display_roundtrip(_display) < 0 || !_manager) return false;
        if (wl_display_roundtrip(_display) < 0) return false;
        _notifier =
            std::make_unique<QSocketNotifier>(wl_display_get_fd(_display), QSocketNotifier::Read);
        QObject::connect(_notifier.get(), &QSocketNotifier::activated, _notifier.get(),
                         [this] { readEvents(); });
        report();
        return true;
    }

  private:
    void readEvents() {
        bool ok = true;
        while (ok && wl_display_prepare_read(_display) != 0) {
            ok = wl_display_dispatch_pending(_display) >= 0;
        }
        ok = ok && wl_display_read_events(_display) >= 0 &&
             wl_display_dispatch_pending(_display) >= 0;
        if (!ok) {
            // The compositor is gone: nothing more will be told.
            _notifier->setEnabled(false);
            for (const auto& toplevel : _toplevels) {
                zwlr_foreign_toplevel_handle_v1_destroy(toplevel->handle);
            }
            _toplevels.clear();
            report();
            return;
        }
        wl_display_flush(_display);
    }

    void report() {
        Window now;
        for (const auto& toplevel : _toplevels) {
            if (!toplevel->active) continue;
            // Our own window (the one standing in for a tray) changes nothing: the application
            // the user silences is the one typed into before it.
            if (!_own.isEmpty() && toplevel->shown.application == _own) return;
            now = toplevel->shown;
        }
        if (now.application == _shown.application && now.fullScreen == _shown.fullScreen) return;
        _shown = now;
        if (_changed) _changed(_shown);
    }

    Toplevel* find(zwlr_foreign_toplevel_handle_v1* handle) {
        for (const auto& toplevel : _toplevels) {
            if (toplevel->handle == handle) return toplevel.get();
        }
        return nullptr;
    }

    static void onGlobal(void* data, wl_registry* registry, std::uint32_t name,
                         const char* interface, std::uint32_t version) {
        auto* self = static_cast<WaylandFocusWatcher*>(data);
        if (self->_manager ||
            std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) != 0) {
            return;
        }
        self->_manager = static_cast<zwlr_foreign_toplevel_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_foreign_toplevel_manager_v1_interface,
                             std::min(version, kNewestVersion)));
        zwlr_foreign_toplevel_manager_v1_add_listener(self->_manager, &kManagerListener, self);
    }
    static void onGlobalRemove(void*, wl_registry*, std::uint32_t) {}

    static void onToplevel(void* data, zwlr_foreign_toplevel_manager_v1*,
                           zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<WaylandFocusWatcher*>(data);
        auto toplevel = std::make_unique<Toplevel>();
        toplevel->handle = handle;
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &kHandleListener, self);
        self->_toplevels.push_back(std::move(toplevel));
    }
    static void onFinished(void* data, zwlr_foreign_toplevel_manager_v1*) {
        auto* self = static_cast<WaylandFocusWatcher*>(data);
        zwlr_foreign_toplevel_manager_v1_destroy(self->_manager);
        self->_manager = nullptr;
    }

    static void onTitle(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}
    static void onAppId(void* data, zwlr_foreign_toplevel_handle_v1* handle, const char* appId) {
        if (Toplevel* toplevel = static_cast<WaylandFocusWatcher*>(data)->find(handle)) {
            toplevel->pending.application = QString::fromUtf8(appId).simplified();
        }
    }
    static void onOutput(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void onState(void* data, zwlr_foreign_toplevel_handle_v1* handle, wl_array* states) {
        Toplevel* toplevel = static_cast<WaylandFocusWatcher*>(data)->find(handle);
        if (!toplevel) return;
        toplevel->pendingActive = false;
        toplevel->pending.fullScreen = false;
        const auto* state = static_cast<const std::uint32_t*>(states->data);
        for (std::size_t i = 0; i < states->size / sizeof(std::uint32_t); ++i) {
            toplevel->pendingActive = toplevel->pendingActive ||
                                      state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED;
            toplevel->pending.fullScreen =
                toplevel->pending.fullScreen ||
                state[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_FULLSCREEN;
        }
    }
    static void onDone(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<WaylandFocusWatcher*>(data);
        if (Toplevel* toplevel = self->find(handle)) {
            toplevel->shown = toplevel->pending;
            toplevel->active = toplevel->pendingActive;
            self->report();
        }
    }
    static void onClosed(void* data, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<WaylandFocusWatcher*>(data);
        std::erase_if(self->_toplevels, [handle](const auto& t) { return t->handle == handle; });
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
        self->report();
    }
    static void onParent(void*, zwlr_foreign_toplevel_handle_v1*,
                         zwlr_foreign_toplevel_handle_v1*) {}

    static constexpr wl_registry_listener kRegistryListener = {onGlobal, onGlobalRemove};
    static constexpr zwlr_foreign_toplevel_manager_v1_listener kManagerListener = {onToplevel,
                                                                                   onFinished};
    static constexpr zwlr_foreign_toplevel_handle_v1_listener kHandleListener = {
        onTitle, onAppId, onOutput, onOutput, onState, onDone, onClosed, onParent};

    wl_display* _display;
    Changed _changed;
    QString _own;
    wl_registry* _registry;
    zwlr_foreign_toplevel_manager_v1* _manager = nullptr;
    std::vector<std::unique_ptr<Toplevel>> _toplevels;
    std::unique_ptr<QSocketNotifier> _notifier;
    Window _shown;
};

}  // namespace

std::unique_ptr<WaylandFocus> WaylandFocus::create(Changed changed) {
    wl_display* display = wl_display_connect(nullptr);
    if (!display) return nullptr;
    auto watcher = std::make_unique<WaylandFocusWatcher>(display, std::move(changed));
    if (!watcher->start()) return nullptr;
    return watcher;
}

}  // namespace tapsound::platform
