#include "app/main_interface.h"

#include <QAction>
#include <QKeyEvent>
#include <QFile>
#include <QKeySequence>
#include <QMenu>
#include <QXmlStreamReader>

namespace tapsound {

namespace {

// A tray menu is a popup that holds the keyboard and is never the active window, so Qt's own
// shortcut handling never sees its items' keys; this hands them to the items while it is open.
class MenuShortcuts : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* menu = qobject_cast<QMenu*>(watched);
        if (!menu || event->type() != QEvent::KeyPress) return false;
        const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
        for (QAction* item : menu->actions()) {
            if (item->isEnabled() && !item->shortcut().isEmpty() && item->shortcut() == pressed) {
                menu->hide();
                item->trigger();
                return true;
            }
        }
        return false;
    }
};

}  // namespace

QAction* itemWithAction(const QMenu* menu, const char* action) {
    for (QAction* item : menu->actions()) {
        if (item->data().toString() == QLatin1String(action)) return item;
    }
    return nullptr;
}

std::unique_ptr<QMenu> loadMainInterface(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return nullptr;
    auto menu = std::make_unique<QMenu>();
    QXmlStreamReader xml(&file);
    bool inMenu = false;
    bool complete = false;
    while (!xml.atEnd() && !complete) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (xml.name() == QLatin1String("menu")) {
                inMenu = true;
            } else if (inMenu && xml.name() == QLatin1String("item")) {
                const auto attributes = xml.attributes();
                const QString title = attributes.value("title").toString();
                QAction* item = attributes.value("submenu") == QLatin1String("true")
                                    ? menu->addMenu(new QMenu(title, menu.get()))
                                    : menu->addAction(title);
                item->setData(attributes.value("action").toString());
                if (attributes.hasAttribute("shortcut")) {
                    item->setShortcut(QKeySequence(attributes.value("shortcut").toString()));
                }
                item->setCheckable(attributes.value("checkable") == QLatin1String("true"));
                item->setEnabled(attributes.value("enabled") != QLatin1String("false"));
            } else if (inMenu && xml.name() == QLatin1String("separator")) {
                menu->addSeparator();
            }
        } else if (token == QXmlStreamReader::EndElement && xml.name() == QLatin1String("menu")) {
            complete = true;
        }
    }
    if (!complete) return nullptr;
    menu->installEventFilter(new MenuShortcuts(menu.get()));
    return menu;
}

}  // namespace tapsound
