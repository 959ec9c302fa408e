#pragma once

#include <QHash>
#include <QString>

namespace tapsound::platform {

// The names applications go by in menus, as their desktop entries give them
// (<data dir>/applications/<id>.desktop, its Name in the user's language), kept once read. Ids
// are what the desktop tells of a window: a Wayland app_id, an X11 window class.
class ApplicationNames {
  public:
    // The id itself where no entry names it.
    QString nameOf(const QString& id);

  private:
    QHash<QString, QString> _names;
};

}  // namespace tapsound::platform
