#pragma once

#include <QMenu>
#include <functional>

class QSlider;

namespace tapsound {

// The status menu as a tray host draws it itself from D-Bus (StatusNotifierItem): the same items
// without the widgets that cannot travel, the Volume slider becoming a submenu of steps.
class ExportedMenu {
  public:
    ExportedMenu(QMenu* keyMenu, QSlider* slider, std::function<void(QMenu*)> fillSoundSets);

    QMenu* menu() { return &_menu; }
    // The steps follow the slider: its value, and whether it is enabled.
    void showVolume();

  private:
    QAction* mirror(QAction* item);

    QMenu _menu;
    QSlider* _slider = nullptr;
    QMenu* _volume = nullptr;
};

}  // namespace tapsound
