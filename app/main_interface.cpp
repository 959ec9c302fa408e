#include "app/main_interface.h"

#include <QAction>
#include <QFile>
#include <QKeySequence>
#include <QMenu>
#include <QXmlStreamReader>

namespace tapsound {

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
                QAction* item = menu->addAction(attributes.value("title").toString());
                item->setData(attributes.value("action").toString());
                if (attributes.hasAttribute("shortcut")) {
                    item->setShortcut(QKeySequence(attributes.value("shortcut").toString()));
                }
            } else if (inMenu && xml.name() == QLatin1String("separator")) {
                menu->addSeparator();
            }
        } else if (token == QXmlStreamReader::EndElement && xml.name() == QLatin1String("menu")) {
            complete = true;
        }
    }
    if (!complete) return nullptr;
    return menu;
}

}  // namespace tapsound
