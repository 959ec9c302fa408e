#pragma once

#include <QString>
#include <memory>

class QAction;
class QMenu;

namespace tapsound {

// Builds the status menu from the main interface file: each item carries, as its data, the name
// of the controller action it sends. Null when the file cannot be read.
std::unique_ptr<QMenu> loadMainInterface(const QString& path);

// The item of the menu that sends this action; null when it has none (an untrusted run's menu).
QAction* itemWithAction(const QMenu* menu, const char* action);

// A title that shows as written: a single "&" would mark a mnemonic.
inline QString shownAsWritten(QString text) { return text.replace('&', "&&"); }

}  // namespace tapsound
