#include "app/exported_menu.h"

#include <QActionGroup>
#include <QSlider>
#include <QWidgetAction>
#include <cmath>

#include "app/volume_slider.h"

namespace tapsound {

namespace {
constexpr int kVolumeSteps = 10;
}  // namespace

ExportedMenu::ExportedMenu(QMenu* keyMenu, QSlider* slider,
                           std::function<void(QMenu*)> fillSoundSets)
    : _slider(slider) {
    for (QAction* item : keyMenu->actions()) {
        if (qobject_cast<QWidgetAction*>(item)) {
            if (!_slider) continue;
            _volume = _menu.addMenu(item->text());
            auto* steps = new QActionGroup(_volume);
            for (int step = 0; step <= kVolumeSteps; ++step) {
                QAction* choice =
                    _volume->addAction(QString("%1 %").arg(step * 100 / kVolumeSteps));
                choice->setCheckable(true);
                steps->addAction(choice);
                const float volume = static_cast<float>(step) / kVolumeSteps;
                QObject::connect(choice, &QAction::triggered, _slider, [this, volume] {
                    // Through the slider, so the volume is stored and the slider shows it.
                    _slider->setValue(static_cast<int>(std::lround(volume * kSliderSteps)));
                });
            }
            QObject::connect(_slider, &QSlider::valueChanged, &_menu, [this] { showVolume(); });
            showVolume();
        } else if (item->menu() && item->data() != "soundSets") {
            // Filled by the controller as it opens; the copy takes copies of its entries.
            QMenu* source = item->menu();
            QMenu* submenu = _menu.addMenu(item->text());
            const auto follow = [item, submenu] {
                submenu->setTitle(item->text());
                submenu->menuAction()->setEnabled(item->isEnabled());
            };
            follow();
            QObject::connect(item, &QAction::changed, submenu, follow);
            QObject::connect(submenu, &QMenu::aboutToShow, submenu, [this, source, submenu] {
                emit source->aboutToShow();
                submenu->clear();
                for (QAction* entry : source->actions()) {
                    QAction* copy = mirror(entry);
                    copy->setParent(submenu);  // so that clearing deletes it
                    submenu->addAction(copy);
                }
            });
        } else if (item->menu()) {
            // Filled as the host opens it, as the status menu's is.
            QMenu* submenu = _menu.addMenu(item->text());
            QObject::connect(submenu, &QMenu::aboutToShow, submenu,
                             [fillSoundSets, submenu] { fillSoundSets(submenu); });
        } else {
            _menu.addAction(mirror(item));
        }
    }
}

void ExportedMenu::showVolume() {
    if (!_volume || !_slider) return;
    _volume->setEnabled(_slider->isEnabled());
    const int step = static_cast<int>(std::lround(sliderFloatValue(_slider) * kVolumeSteps));
    const auto steps = _volume->actions();
    if (step >= 0 && step < steps.size()) steps[step]->setChecked(true);
}

// A copy that follows the item and triggers it. The item's shortcut keys cannot reach us from a
// host's menu, so it is left out.
QAction* ExportedMenu::mirror(QAction* item) {
    auto* copy = new QAction(&_menu);
    copy->setSeparator(item->isSeparator());
    const auto follow = [item, copy] {
        copy->setText(item->text());
        copy->setEnabled(item->isEnabled());
        copy->setCheckable(item->isCheckable());
        copy->setChecked(item->isChecked());
        copy->setVisible(item->isVisible());
    };
    follow();
    QObject::connect(item, &QAction::changed, copy, follow);
    QObject::connect(item, &QAction::toggled, copy, follow);
    QObject::connect(copy, &QAction::triggered, item, [item, follow] {
        item->trigger();
        follow();
    });
    return copy;
}

}  // namespace tapsound
