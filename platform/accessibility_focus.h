#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace tapsound::platform {

// Whether a password field has the keyboard focus, as programs tell the accessibility bus
// (AT-SPI2): focus events, and the role of the object that took the focus. Quiet while nothing
// moves the focus.
class AccessibilityFocus : public QObject {
    Q_OBJECT

  public:
    // Where the watcher keeps, across runs, the id of the session bus whose accessibility it
    // turned on and has not turned off yet (empty for none): a run that was killed leaves it.
    struct LeftOn {
        QString stored;
        std::function<void(const QString&)> write;
    };

    // Asks the session bus where the accessibility bus is; without one, nothing is ever told.
    // `reporting` hears whether the session's accessibility is on, which most programs wait for
    // before they tell of their fields. What an earlier run of this session left on is turned
    // off: it was on only until that run quit.
    AccessibilityFocus(QDBusConnection session, std::function<void(bool)> changed,
                       std::function<void(bool)> reporting = nullptr, LeftOn leftOn = {});
    ~AccessibilityFocus() override;

    // Turns the session's accessibility on until this watcher ends.
    void enableReporting();
    // Ends what enableReporting() began, as the watcher's end does: the session is left as it
    // was found.
    void disableReporting();

  private slots:
    void onStateChanged(const QDBusMessage& message);
    void onStatusChanged(const QString& interface, const QVariantMap& changed, const QStringList&);

  private:
    void listen(const QString& address);
    void set(bool password);
    void readStatus();
    void setEnabled(bool enabled, int timeoutMs);
    void noteEnabledHere(bool enabled);

    QDBusConnection _session;
    std::function<void(bool)> _changed, _reporting;
    bool _enabledHere = false;
    LeftOn _leftOn;
    QString _sessionId;
    std::optional<QDBusConnection> _bus;
    QString _focusedService, _focusedPath;
    bool _password = false;
};

}  // namespace tapsound::platform
