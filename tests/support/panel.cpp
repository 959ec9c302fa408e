#include "tests/support/panel.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace tapsound::test {

namespace {

void readMenu(const QDBusArgument& item, const QString& parent, QStringList& lines,
              std::map<QString, int>& ids) {
    int id = 0;
    QVariantMap properties;
    item.beginStructure();
    item >> id >> properties;
    QString line = properties.value("label").toString().replace("__", "\x01").remove('_');
    line = properties.value("type") == "separator" ? "-" : line.replace('\x01', '_');
    if (properties.contains("toggle-type"))
        line.prepend(properties.value("toggle-state") == 1 ? "[x] " : "[ ] ");
    if (properties.value("enabled") == false) line.prepend('~');
    if (id != 0) lines << (ids[parent + line] = id, parent + line);
    item.beginArray();
    while (!item.atEnd()) {
        QDBusVariant child;
        item >> child;
        readMenu(child.variant().value<QDBusArgument>(), id ? parent + line + "/" : "", lines, ids);
    }
    item.endArray();
    item.endStructure();
}

}  // namespace

bool PanelWatcher::offer(QDBusConnection bus) {
    items.clear();
    _bus = bus;
    return _bus.registerObject("/StatusNotifierWatcher", this,
                               QDBusConnection::ExportAllContents) &&
           _bus.registerService("org.kde.StatusNotifierWatcher");
}

void PanelWatcher::withdraw() {
    _bus.unregisterService("org.kde.StatusNotifierWatcher");
    _bus.unregisterObject("/StatusNotifierWatcher");
}

PanelItem::PanelItem(QDBusConnection bus, QString item) : _bus(bus), _item(std::move(item)) {
    _path = call("/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
                 {"org.kde.StatusNotifierItem", "Menu"})
                .value(0)
                .value<QDBusVariant>()
                .variant()
                .value<QDBusObjectPath>()
                .path();
}

QVariantList PanelItem::call(const QString& path, const QString& interface, const char* method,
                             const QVariantList& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(_item, path, interface, method);
    message.setArguments(arguments);
    return _bus.call(message).arguments();
}

QStringList PanelItem::lines() {
    QStringList lines;
    const auto layout = call(_path, "com.canonical.dbusmenu", "GetLayout", {0, -1, QStringList()});
    if (layout.size() == 2) readMenu(layout[1].value<QDBusArgument>(), "", lines, _ids);
    return lines;
}

void PanelItem::aboutToShow(const QString& line) {
    call(_path, "com.canonical.dbusmenu", "AboutToShow", {_ids[line]});
}

void PanelItem::send(const QString& line, const QString& event) {
    call(_path, "com.canonical.dbusmenu", "Event",
         {_ids[line], event, QVariant::fromValue(QDBusVariant(0)), 0u});
}

void PanelItem::activate(int x, int y) {
    call("/StatusNotifierItem", "org.kde.StatusNotifierItem", "Activate", {x, y});
}

}  // namespace tapsound::test
