#include "platform/accessibility_focus.h"

#include <utility>

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace tapsound::platform {

namespace {
constexpr uint kRolePasswordText = 40;
// The accessibility bus is started on the first call, slowly on a busy machine; nothing waits.
constexpr int kReplyTimeoutMs = 25000;
const char* const kFocusEvent = "object:state-changed:focused";
const char* const kStatus = "org.a11y.Status";

// Calls aside; `done` gets the reply's first argument, and nothing happens on an error.
void callAside(QDBusConnection& bus, QObject* owner, QDBusMessage call,
               std::function<void(const QVariant&)> done) {
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kReplyTimeoutMs), owner);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, owner,
                     [watcher, done = std::move(done)] {
                         watcher->deleteLater();
                         const QDBusMessage reply = watcher->reply();
                         if (reply.type() == QDBusMessage::ReplyMessage &&
                             !reply.arguments().isEmpty()) {
                             done(reply.arguments().first());
                         }
                     });
}
}  // namespace

AccessibilityFocus::AccessibilityFocus(QDBusConnection session, std::function<void(bool)> changed,
                                       std::function<void(bool)> reporting, LeftOn leftOn)
    : _session(session),
      _changed(std::move(changed)),
      _reporting(std::move(reporting)),
      _leftOn(std::move(leftOn)) {
    if (!session.isConnected()) return;
    // The bus's id names the session: another login's accessibility is not ours to touch.
    callAside(session, this,
              QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                             "org.freedesktop.DBus", "GetId"),
              [this](const QVariant& id) {
                  // Never mistaken for a number where it is stored.
                  _sessionId = "bus " + id.toString();
                  if (_enabledHere) return noteEnabledHere(true);
                  if (!_leftOn.stored.isEmpty() && _leftOn.stored == _sessionId) {
                      setEnabled(false, -1);
                  }
                  noteEnabledHere(false);
              });
    callAside(session, this,
              QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                             "GetAddress"),
              [this](const QVariant& address) { listen(address.toString()); });
    if (!_reporting) return;
    _session.connect("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
                     "PropertiesChanged", this,
                     SLOT(onStatusChanged(QString, QVariantMap, QStringList)));
    readStatus();
}

void AccessibilityFocus::readStatus() {
    callAside(_session, this,
              QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus",
                                             "org.freedesktop.DBus.Properties", "Get")
                  << QString(kStatus) << QString("IsEnabled"),
              [this](const QVariant& enabled) {
                  _reporting(enabled.value<QDBusVariant>().variant().toBool());
              });
}

AccessibilityFocus::~AccessibilityFocus() { disableReporting(); }

void AccessibilityFocus::disableReporting() {
    // Waited for, briefly: the program is ending, and a message still queued would be lost.
    if (!std::exchange(_enabledHere, false)) return;
    setEnabled(false, 1000);
    noteEnabledHere(false);
}

void AccessibilityFocus::noteEnabledHere(bool enabled) {
    const QString note = enabled ? _sessionId : QString();
    if (_leftOn.write && note != _leftOn.stored) _leftOn.write(note);
    _leftOn.stored = note;
}

void AccessibilityFocus::enableReporting() {
    if (!_session.isConnected()) return;
    _enabledHere = true;
    noteEnabledHere(true);  // first: a kill right after must find it
    setEnabled(true, -1);
    readStatus();  // answered after the change: the bus keeps one sender's calls in order
}

void AccessibilityFocus::setEnabled(bool enabled, int timeoutMs) {
    QDBusMessage set = QDBusMessage::createMethodCall("org.a11y.Bus", "/org/a11y/bus",
                                                      "org.freedesktop.DBus.Properties", "Set")
                       << QString(kStatus) << QString("IsEnabled")
                       << QVariant::fromValue(QDBusVariant(enabled));
    if (timeoutMs < 0) {
        _session.send(set);
    } else {
        _session.call(set, QDBus::Block, timeoutMs);
    }
}

void AccessibilityFocus::onStatusChanged(const QString& interface, const QVariantMap& changed,
                                         const QStringList&) {
    if (interface != kStatus || !changed.contains("IsEnabled")) return;
    const bool enabled = changed.value("IsEnabled").toBool();
    // Switched off elsewhere: ours to undo no longer.
    if (_enabledHere && !enabled) {
        _enabledHere = false;
        noteEnabledHere(false);
    }
    _reporting(enabled);
}

void AccessibilityFocus::listen(const QString& address) {
    if (address.isEmpty() || _bus) return;
    _bus = QDBusConnection::connectToBus(address, "tapsound-accessibility");
    if (!_bus->isConnected()) return;
    _bus->connect("", "", "org.a11y.atspi.Event.Object", "StateChanged", this,
                  SLOT(onStateChanged(QDBusMessage)));
    // Programs send focus events only once someone has asked the registry for them.
    QDBusMessage registration =
        QDBusMessage::createMethodCall("org.a11y.atspi.Registry", "/org/a11y/atspi/registry",
                                       "org.a11y.atspi.Registry", "RegisterEvent");
    registration << QString(kFocusEvent);
    _bus->send(registration);
}

void AccessibilityFocus::onStateChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2 || arguments[0].toString() != "focused") return;
    const bool gained = arguments[1].toInt() == 1;
    const bool same = message.service() == _focusedService && message.path() == _focusedPath;
    if (!gained) {
        if (!same) return;
        _focusedService.clear();
        _focusedPath.clear();
        set(false);
        return;
    }
    _focusedService = message.service();
    _focusedPath = message.path();
    QDBusMessage role = QDBusMessage::createMethodCall(_focusedService, _focusedPath,
                                                       "org.a11y.atspi.Accessible", "GetRole");
    callAside(*_bus, this, role,
              [this, service = _focusedService, path = _focusedPath](const QVariant& value) {
                  // A later focus has its own question on the way.
                  if (service != _focusedService || path != _focusedPath) return;
                  set(value.toUInt() == kRolePasswordText);
              });
}

void AccessibilityFocus::set(bool password) {
    if (password == _password) return;
    _password = password;
    if (_changed) _changed(password);
}

}  // namespace tapsound::platform
