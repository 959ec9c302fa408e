#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <map>

namespace tapsound::test {

// A panel's StatusNotifierWatcher with its host: items register with it, so that they export
// their menus.
class PanelWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isStatusNotifierHostRegistered)

  public:
    // Served on the bus until withdrawn; false if the name is taken.
    bool offer(QDBusConnection bus);
    void withdraw();
    bool isStatusNotifierHostRegistered() const { return true; }
    QStringList items;

  public slots:
    void RegisterStatusNotifierItem(const QString& service) { items << service; }

  private:
    QDBusConnection _bus{QString()};
};

// A registered item and its exported menu, read and clicked as a panel does over D-Bus.
class PanelItem {
  public:
    PanelItem(QDBusConnection bus, QString item);
    // The items a line each: "Parent/child" in submenus, "-" a separator, "[x] "/"[ ] " a check
    // item, "~" a disabled one; "_" marks a mnemonic.
    QStringList lines();
    void aboutToShow(const QString& line);
    // A menu event ("clicked", "opened", "closed") on the item a line names.
    void send(const QString& line, const QString& event = "clicked");
    // A left click on the icon, the screen position given.
    void activate(int x, int y);

  private:
    QVariantList call(const QString& path, const QString& interface, const char* method,
                      const QVariantList& arguments);

    QDBusConnection _bus;
    QString _item, _path;
    std::map<QString, int> _ids;
};

}  // namespace tapsound::test
