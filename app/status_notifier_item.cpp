#include "app/status_notifier_item.h"

#include <unistd.h>

#include <QAction>
#include <QActionGroup>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QHash>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSet>
#include <QTimer>
#include <QtEndian>

#include "app/tray_presence.h"

namespace tapsound {

// The StatusNotifierItem and dbusmenu types, as their specifications spell them. Outside an
// anonymous namespace: Qt D-Bus finds the types of exported methods by name.
struct DBusImage {
    int width = 0;
    int height = 0;
    QByteArray argb;  // 32-bit ARGB, in network byte order
};
using DBusImages = QList<DBusImage>;
struct DBusToolTip {
    QString iconName;
    DBusImages images;
    QString title, text;
};
struct DBusMenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<QDBusVariant> children;  // each a DBusMenuLayout
};
struct DBusMenuItem {
    int id = 0;
    QVariantMap properties;
};
struct DBusMenuItemKeys {
    int id = 0;
    QStringList names;
};
struct DBusMenuEvent {
    int id = 0;
    QString name;
    QDBusVariant data;
    uint timestamp = 0;
};

}  // namespace tapsound

Q_DECLARE_METATYPE(tapsound::DBusImage)
Q_DECLARE_METATYPE(tapsound::DBusToolTip)
Q_DECLARE_METATYPE(tapsound::DBusMenuLayout)
Q_DECLARE_METATYPE(tapsound::DBusMenuItem)
Q_DECLARE_METATYPE(tapsound::DBusMenuItemKeys)
Q_DECLARE_METATYPE(tapsound::DBusMenuEvent)

namespace tapsound {

QDBusArgument& operator<<(QDBusArgument& out, const DBusImage& image) {
    out.beginStructure();
    out << image.width << image.height << image.argb;
    out.endStructure();
    return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, DBusImage& image) {
    in.beginStructure();
    in >> image.width >> image.height >> image.argb;
    in.endStructure();
    return in;
}
QDBusArgument& operator<<(QDBusArgument& out, const DBusToolTip& tip) {
    out.beginStructure();
    out << tip.iconName << tip.images << tip.title << tip.text;
    out.endStructure();
    return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, DBusToolTip& tip) {
    in.beginStructure();
    in >> tip.iconName >> tip.images >> tip.title >> tip.text;
    in.endStructure();
    return in;
}
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuLayout& layout) {
    out.beginStructure();
    out << layout.id << layout.properties;
    out.beginArray(qMetaTypeId<QDBusVariant>());
    for (const QDBusVariant& child : layout.children) out << child;
    out.endArray();
    out.endStructure();
    return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuLayout& layout) {
    in.beginStructure();
    in >> layout.id >> layout.properties;
    in.beginArray();
    while (!in.atEnd()) {
        QDBusVariant child;
        in >> child;
        layout.children << child;
    }
    in.endArray();
    in.endStructure();
    return in;
}
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItem& item) {
    out.beginStructure();
    out << item.id << item.properties;
    out.endStructure();
    return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItem& item) {
    in.beginStructure();
    in >> item.id >> item.properties;
    in.endStructure();
    return in;
}
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuItemKeys& keys) {
    out.beginStructure();
    out << keys.id << keys.names;
    out.endStructure();
    return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuItemKeys& keys) {
    in.beginStructure();
    in >> keys.id >> keys.names;
    in.endStructure();
    return in;
}
QDBusArgument& operator<<(QDBusArgument& out, const DBusMenuEvent& event) {
    out.beginStructure();
    out << event.id << event.name << event.data << event.timestamp;
    out.endStructure();
    return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, DBusMenuEvent& event) {
    in.beginStructure();
    in >> event.id >> event.name >> event.data >> event.timestamp;
    in.endStructure();
    return in;
}

namespace {

const char* const kItemPath = "/StatusNotifierItem";
const char* const kMenuPath = "/MenuBar";

void registerDBusTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<DBusImage>();
        qDBusRegisterMetaType<DBusImages>();
        qDBusRegisterMetaType<DBusToolTip>();
        qDBusRegisterMetaType<DBusMenuLayout>();
        qDBusRegisterMetaType<DBusMenuItem>();
        qDBusRegisterMetaType<QList<DBusMenuItem>>();
        qDBusRegisterMetaType<DBusMenuItemKeys>();
        qDBusRegisterMetaType<QList<DBusMenuItemKeys>>();
        qDBusRegisterMetaType<DBusMenuEvent>();
        qDBusRegisterMetaType<QList<DBusMenuEvent>>();
        return true;
    }();
    (void)registered;
}

// A title as hosts read it: "_" marks the mnemonic, "__" is an underscore; Qt marks with "&".
QString hostLabel(const QString& text) {
    QString label;
    for (qsizetype i = 0; i < text.size(); ++i) {
        QChar c = text[i];
        if (c == '&') {
            if (++i == text.size()) break;
            c = text[i];
            if (c != '&') label += '_';
        }
        label += c == '_' ? QString("__") : QString(c);
    }
    return label;
}

// A menu served as com.canonical.dbusmenu: items are numbered as they are first served; any change
// to a served menu tells the host to read the layout again.
class DBusMenu : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

  public:
    explicit DBusMenu(QMenu* root) : _root(root) {
        _changed.setSingleShot(true);
        _changed.setInterval(0);
        connect(&_changed, &QTimer::timeout, this, [this] { emit LayoutUpdated(++_revision, 0); });
    }
    uint version() const { return 3; }
    QString textDirection() const { return "ltr"; }
    QString status() const { return "normal"; }
    QStringList iconThemePath() const { return {}; }

  public slots:
    // Answered by hand: two results, one of them our own type.
    void GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                   const QDBusMessage& message) {
        const DBusMenuLayout layout = layoutOf(parentId, recursionDepth, propertyNames);
        message.setDelayedReply(true);
        QDBusConnection::sessionBus().send(
            message.createReply({_revision, QVariant::fromValue(layout)}));
    }
    QList<DBusMenuItem> GetGroupProperties(const QList<int>& ids,
                                           const QStringList& propertyNames) {
        QList<DBusMenuItem> items;
        for (const int id : ids) {
            if (const QAction* item = _items.value(id)) {
                items << DBusMenuItem{id, propertiesOf(item, propertyNames)};
            }
        }
        return items;
    }
    QDBusVariant GetProperty(int id, const QString& name) {
        const QAction* item = _items.value(id);
        const QVariant value = item ? propertiesOf(item, {name}).value(name) : QVariant();
        return QDBusVariant(value.isValid() ? value : QVariant(QString()));
    }
    void Event(int id, const QString& eventId, const QDBusVariant&, uint) { handle(id, eventId); }
    QList<int> EventGroup(const QList<tapsound::DBusMenuEvent>& events) {
        QList<int> unknown;
        for (const DBusMenuEvent& event : events) {
            if (!handle(event.id, event.name)) unknown << event.id;
        }
        return unknown;
    }
    bool AboutToShow(int id) {
        QMenu* menu = menuOf(id);
        if (!menu) return false;
        _announced.insert(id);
        emit menu->aboutToShow();
        return _changed.isActive();
    }
    void AboutToShowGroup(const QList<int>& ids, const QDBusMessage& message) {
        QList<int> updated, unknown;
        for (const int id : ids) {
            if (!menuOf(id)) {
                unknown << id;
            } else if (AboutToShow(id)) {
                updated << id;
            }
        }
        message.setDelayedReply(true);
        QDBusConnection::sessionBus().send(
            message.createReply({QVariant::fromValue(updated), QVariant::fromValue(unknown)}));
    }

  signals:
    // Qt D-Bus finds argument types by the names written here.
    void ItemsPropertiesUpdated(const QList<tapsound::DBusMenuItem>& updatedProps,
                                const QList<tapsound::DBusMenuItemKeys>& removedProps);
    void LayoutUpdated(uint revision, int parent);
    void ItemActivationRequested(int id, uint timestamp);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto type = event->type();
        if (type == QEvent::ActionAdded || type == QEvent::ActionRemoved ||
            type == QEvent::ActionChanged) {
            if (!_changed.isActive()) _changed.start();
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    QMenu* menuOf(int id) const {
        if (id == 0) return _root;
        const QAction* item = _items.value(id);
        return item ? item->menu() : nullptr;
    }
    int idOf(QAction* item) {
        if (const auto found = _ids.constFind(item); found != _ids.constEnd()) return *found;
        const int id = ++_lastId;
        _ids.insert(item, id);
        _items.insert(id, item);
        connect(item, &QObject::destroyed, this, [this, item, id] {
            _ids.remove(item);
            _items.remove(id);
        });
        return id;
    }
    DBusMenuLayout layoutOf(int id, int depth, const QStringList& names) {
        DBusMenuLayout layout{id, {}, {}};
        if (id == 0) {
            layout.properties.insert("children-display", "submenu");
        } else if (const QAction* item = _items.value(id)) {
            layout.properties = propertiesOf(item, names);
        }
        QMenu* menu = menuOf(id);
        if (!menu || depth == 0) return layout;
        menu->installEventFilter(this);  // once however often: Qt moves it to the front
        for (QAction* child : menu->actions()) {
            layout.children << QDBusVariant(
                QVariant::fromValue(layoutOf(idOf(child), depth - 1, names)));
        }
        return layout;
    }
    static QVariantMap propertiesOf(const QAction* item, const QStringList& names) {
        QVariantMap properties;
        if (item->isSeparator()) {
            properties.insert("type", "separator");
        } else {
            properties.insert("label", hostLabel(item->text()));
            if (item->menu()) properties.insert("children-display", "submenu");
            if (item->isCheckable()) {
                const bool radio = item->actionGroup() && item->actionGroup()->isExclusive();
                properties.insert("toggle-type", radio ? "radio" : "checkmark");
                properties.insert("toggle-state", item->isChecked() ? 1 : 0);
            }
        }
        if (!item->isEnabled()) properties.insert("enabled", false);
        if (!item->isVisible()) properties.insert("visible", false);
        if (!names.isEmpty()) {
            for (auto it = properties.begin(); it != properties.end();) {
                it = names.contains(it.key()) ? std::next(it) : properties.erase(it);
            }
        }
        return properties;
    }
    bool handle(int id, const QString& name) {
        QAction* item = _items.value(id);
        if (id != 0 && !item) return false;
        QMenu* menu = menuOf(id);
        if (name == "clicked" && item && !item->menu() && item->isEnabled()) {
            // Later, so an item that opens a dialog does not hold the host's call.
            QTimer::singleShot(0, item, [item] { item->trigger(); });
        } else if (name == "opened" && menu) {
            // Hosts announce an opening both ways; the folders behind a menu are read once.
            if (!_announced.remove(id)) emit menu->aboutToShow();
        } else if (name == "closed" && menu) {
            _announced.remove(id);
            emit menu->aboutToHide();
        }
        return true;
    }

    QMenu* _root;
    QHash<QAction*, int> _ids;
    QHash<int, QAction*> _items;
    QSet<int> _announced;  // AboutToShow came, its "opened" event may follow
    int _lastId = 0;
    uint _revision = 1;
    QTimer _changed;
};

class ItemObject : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ id)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ none)
    Q_PROPERTY(tapsound::DBusImages IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(tapsound::DBusImages OverlayIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(tapsound::DBusImages AttentionIconPixmap READ noImages)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(QString IconThemePath READ none)
    Q_PROPERTY(tapsound::DBusToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

  public:
    QString category() const { return "ApplicationStatus"; }
    QString id() const { return "tapsound"; }
    QString status() const { return "Active"; }
    int windowId() const { return 0; }
    QString none() const { return {}; }
    DBusImages iconPixmap() const { return images; }
    DBusImages noImages() const { return {}; }
    DBusToolTip toolTip() const { return {{}, {}, toolTipText, {}}; }
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(menuPath); }

    DBusImages images;
    QString toolTipText;
    QString menuPath = "/NO_DBUSMENU";
    std::function<void(QPoint)> activated;

  public slots:
    void Activate(int x, int y) {
        // Later, so the host's call is answered before the menu takes the pointer.
        const QPoint at = x || y ? QPoint(x, y) : QPoint();
        QTimer::singleShot(0, this, [this, at] {
            if (activated) activated(at);
        });
    }
    // A host that draws no menus asks us to show ours.
    void ContextMenu(int x, int y) { Activate(x, y); }
    void SecondaryActivate(int, int) {}
    void Scroll(int, const QString&) {}

  signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);
};

}  // namespace

class StatusNotifierItem::Objects {
  public:
    QDBusConnection bus = QDBusConnection::sessionBus();
    QString service;
    ItemObject item;
    std::unique_ptr<DBusMenu> menu;
    QDBusServiceWatcher watcher;

    void registerWithWatcher() {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kStatusNotifierWatcher, "/StatusNotifierWatcher",
                                           kStatusNotifierWatcher, "RegisterStatusNotifierItem");
        call << service;
        bus.send(call);
    }
};

StatusNotifierItem::StatusNotifierItem(QMenu* menu) : _objects(std::make_unique<Objects>()) {
    registerDBusTypes();
    Objects& o = *_objects;
    static int made = 0;
    o.service = QString("org.kde.StatusNotifierItem-%1-%2").arg(getpid()).arg(++made);
    if (menu) {
        o.menu = std::make_unique<DBusMenu>(menu);
        o.bus.registerObject(kMenuPath, o.menu.get(), QDBusConnection::ExportAllContents);
        o.item.menuPath = kMenuPath;
    }
    o.item.activated = [this](QPoint at) {
        if (activated) activated(at);
    };
    o.bus.registerObject(kItemPath, &o.item, QDBusConnection::ExportAllContents);
    o.bus.registerService(o.service);
    // A panel restarting brings a new watcher, which knows nothing of us.
    o.watcher.setConnection(o.bus);
    o.watcher.setWatchMode(QDBusServiceWatcher::WatchForRegistration);
    o.watcher.addWatchedService(kStatusNotifierWatcher);
    QObject::connect(&o.watcher, &QDBusServiceWatcher::serviceRegistered, &o.item,
                     [&o] { o.registerWithWatcher(); });
    o.registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
    Objects& o = *_objects;
    o.bus.unregisterService(o.service);
    o.bus.unregisterObject(kItemPath);
    if (o.menu) o.bus.unregisterObject(kMenuPath);
}

void StatusNotifierItem::setIcon(const QIcon& icon) {
    DBusImages images;
    for (const int size : {22, 32, 48}) {
        const QImage image =
            icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull()) continue;
        QByteArray argb(static_cast<qsizetype>(image.sizeInBytes()), Qt::Uninitialized);
        const auto* pixels = reinterpret_cast<const quint32*>(image.constBits());
        for (qsizetype i = 0; i < argb.size() / 4; ++i) {
            qToBigEndian(pixels[i], argb.data() + i * 4);
        }
        images << DBusImage{image.width(), image.height(), argb};
    }
    _objects->item.images = images;
    emit _objects->item.NewIcon();
}

void StatusNotifierItem::setToolTip(const QString& text) {
    if (_objects->item.toolTipText == text) return;
    _objects->item.toolTipText = text;
    emit _objects->item.NewToolTip();
}

void StatusNotifierItem::showMessage(const QString& title, const QString& body, int milliseconds) {
    QDBusMessage notify = QDBusMessage::createMethodCall("org.freedesktop.Notifications",
                                                         "/org/freedesktop/Notifications",
                                                         "org.freedesktop.Notifications", "Notify");
    notify << QString("tapsound") << 0u << QString("input-keyboard") << title << body
           << QStringList() << QVariantMap() << milliseconds;
    _objects->bus.send(notify);
}

}  // namespace tapsound

#include "status_notifier_item.moc"
