#pragma once

#include <QWidget>
#include <functional>

class QLabel;
class QMenu;
class QSlider;

namespace tapsound {

// Where no tray shows icons: a small window with the menu's controls. Closing it quits, as the
// program would otherwise run on out of reach.
class NoTrayWindow : public QWidget {
  public:
    // The controls act through the status menu's items; the slider follows the menu's, if any.
    NoTrayWindow(QMenu* keyMenu, QSlider* slider, bool canHearKeys, std::function<void()> quit);

    void showState(const QString& soundSetName);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QLabel* _name = nullptr;
    QSlider* _volume = nullptr;
    QSlider* _menuSlider = nullptr;
    std::function<void()> _quit;
};

}  // namespace tapsound
