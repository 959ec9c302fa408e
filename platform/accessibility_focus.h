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
    // Asks the session bus where the accessibility bus is; without one, nothing is ever told.
    AccessibilityFocus(QDBusConnection session, std::function<void(bool)> changed);

  private slots:
    void onStateChanged(const QDBusMessage& message);

  private:
    void listen(const QString& address);
    void set(bool password);

    std::function<void(bool)> _changed;
    std::optional<QDBusConnection> _bus;
    QString _focusedService, _focusedPath;
    bool _password = false;
};

}  // namespace tapsound::platform
