#include "app/no_tray_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/main_interface.h"

namespace tapsound {

NoTrayWindow::NoTrayWindow(QMenu* keyMenu, QSlider* slider, bool canHearKeys,
                           std::function<void()> quit)
    : _menuSlider(slider), _quit(std::move(quit)) {
    setWindowTitle("tapsound");
    setWindowIcon(QIcon(":/icons/key.svg"));
    // It appears by itself, maybe while the user types elsewhere: it must not take the keys.
    setAttribute(Qt::WA_ShowWithoutActivating);
    auto* layout = new QVBoxLayout(this);

    if (!canHearKeys) {
        auto* message = new QLabel(
            "<b>tapsound cannot hear your keys</b><br>Choose \"Open Security &amp; Privacy "
            "Preferences...\" to see how to allow it.");
        message->setWordWrap(true);
        layout->addWidget(message);
    }
    _name = new QLabel();
    _name->setTextFormat(Qt::PlainText);
    QFont bold = _name->font();
    bold.setBold(true);
    _name->setFont(bold);
    layout->addWidget(_name);

    if (_menuSlider) {
        auto* row = new QHBoxLayout();
        row->addWidget(new QLabel("Volume"));
        _volume = new QSlider(Qt::Horizontal);
        _volume->setRange(_menuSlider->minimum(), _menuSlider->maximum());
        _volume->setSingleStep(_menuSlider->singleStep());
        _volume->setPageStep(_menuSlider->pageStep());
        _volume->setMinimumWidth(160);
        row->addWidget(_volume, 1);
        layout->addLayout(row);
        // The menu's slider stores the volume; this one only moves it.
        connect(_volume, &QSlider::valueChanged, _menuSlider, &QSlider::setValue);
        connect(_menuSlider, &QSlider::valueChanged, this, [this] { showState(_name->text()); });
    }

    // The menu's own items, so both always agree: titles, check marks and what they do.
    auto* buttons = new QGridLayout();
    int column = 0, row = 0;
    for (const char* action :
         {"open:", "openPrivacyAccessibility", "soundSets", "mouseSounds", "toggleMute:", "stereo",
          "varyEachPress", "output",
          "toggleSilentForPasswords:", "enableAccessibilityReporting:",
          "toggleSilentInFullScreen:", "toggleSilentInApplication:",
          "silentIn", "toggleStartAtLogin:", "showHelp:", "terminate:"}) {
        QAction* item = itemWithAction(keyMenu, action);
        if (!item) continue;
        // Buttons show an item's icon text, which drops the "..." that tells a dialog follows.
        item->setIconText(item->text());
        auto* button = new QToolButton();
        button->setDefaultAction(item);
        button->setToolButtonStyle(Qt::ToolButtonTextOnly);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        if (item->menu()) button->setPopupMode(QToolButton::InstantPopup);
        if (item->data() == "openPrivacyAccessibility") {
            buttons->addWidget(button, row++, 0, 1, 3);
            continue;
        }
        if (item->data() == "enableAccessibilityReporting:") {
            // Offered only now and then: a row of its own, shown with the item.
            button->setVisible(item->isVisible());
            connect(item, &QAction::changed, button,
                    [item, button] { button->setVisible(item->isVisible()); });
            if (column) column = 0, ++row;
            buttons->addWidget(button, row++, 0, 1, 3);
            continue;
        }
        buttons->addWidget(button, row, column);
        if (++column == 3) column = 0, ++row;
    }
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void NoTrayWindow::showState(const QString& soundSetName) {
    _name->setText(soundSetName);
    if (!_volume) return;
    _volume->setEnabled(_menuSlider->isEnabled());
    const QSignalBlocker blocker(_volume);
    _volume->setValue(_menuSlider->value());
}

void NoTrayWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    if (_quit) _quit();
}

}  // namespace tapsound
