#pragma once

#include <QPoint>
#include <QString>
#include <functional>
#include <memory>

class QIcon;
class QMenu;

namespace tapsound {

// Our icon on a tray that draws icons from D-Bus (a StatusNotifierItem), its menu exported as
// com.canonical.dbusmenu for the host to draw. Qt picks the kind of its own tray icon once per run;
// this one can be made whenever such a tray appears, whatever came before it.
class StatusNotifierItem {
  public:
    // The menu, if any, is what the host shows on a right click; it must outlive this item.
    explicit StatusNotifierItem(QMenu* menu);
    ~StatusNotifierItem();
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    void setIcon(const QIcon& icon);
    void setToolTip(const QString& text);
    // A notification bubble, through the desktop's notification service.
    void showMessage(const QString& title, const QString& body, int milliseconds);

    // A left click, or a host asking us to draw a menu ourselves: where, on screen (null when the
    // host does not say).
    std::function<void(QPoint)> activated;

    class Objects;

  private:
    std::unique_ptr<Objects> _objects;
};

}  // namespace tapsound
