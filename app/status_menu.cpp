#include <QAction>
#include <QCursor>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QIcon>
#include <QLibraryInfo>
#include <QMenu>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVersionNumber>
#include <QWidget>
#include <QWidgetAction>
#include <cmath>
#include <ctime>

#include <QDBusConnection>

#include "app/app_delegate.h"
#include "app/exported_menu.h"
#include "app/main_interface.h"
#include "app/no_tray_window.h"
#include "app/tray_presence.h"
#include "app/volume_slider.h"

namespace tapsound {

namespace {

// Controls size themselves from the style's metrics on every Qt 6 desktop, which stands for the
// newer system here; the fixed 19-pixel slider remains for styles that predate that.
bool controlsSizeThemselves() {
    return QLibraryInfo::version() >= QVersionNumber(6, 0, 0);
}

QString localizedString(const char* key) { return QMenu::tr(key); }

}  // namespace

void AppDelegate::awakeFromNib() {
    _platform.srand(static_cast<unsigned>(static_cast<std::uint32_t>(std::time(nullptr))));
    for (auto& slot : _keyArray) slot.reset();
    _globalEventMonitor.reset();
    _localEventMonitor.reset();
    _tempPath.reset();
    _isAccessibilityEnabled = checkAccessibility();
    _openPanel.reset();

    if (_isAccessibilityEnabled) {
        const QAction* measured = _keyMenu->actions().value(3);
        const QString title = measured ? measured->text().remove('&') : QString();
        const double textWidth = QFontMetricsF(_keyMenu->font()).horizontalAdvance(title);
        const double menuWidth = _keyMenu->sizeHint().width();
        // Fractions below 0.001 of a pixel are noise of the text measure.
        const double measuredWidth =
            static_cast<double>(static_cast<std::int64_t>(textWidth + 0.999));
        const double inset = (menuWidth - measuredWidth) * 0.5;

        auto* volumeItem = new QWidgetAction(_keyMenu);
        volumeItem->setText("Volume");

        auto* container = new QWidget();
        _slider = new QSlider(Qt::Horizontal, container);
        _slider->setEnabled(false);
        _slider->setRange(0, kSliderSteps);
        _slider->setSingleStep(kSliderSteps / 100);
        _slider->setPageStep(kSliderSteps / 10);
        setSliderFloatValue(_slider, 0.5f);
        QObject::connect(_slider, &QSlider::valueChanged, _slider, [this] { setVolume(_slider); });
        const int sliderHeight = controlsSizeThemselves() ? _slider->sizeHint().height() : 19;
        container->setGeometry(0, 0, static_cast<int>(menuWidth), sliderHeight);
        container->setMinimumHeight(sliderHeight);
        auto* layout = new QHBoxLayout(container);
        const int margin = static_cast<int>(std::max(0.0, inset));
        layout->setContentsMargins(margin, 0, margin, 0);
        layout->addWidget(_slider, 0, Qt::AlignVCenter);
        volumeItem->setDefaultWidget(container);

        const auto items = _keyMenu->actions();
        _keyMenu->insertAction(items.value(2), volumeItem);
    } else {
        QAction* privacyItem = _keyMenu->actions().value(0);
        if (privacyItem) {
            privacyItem->setText(
                shownAsWritten(localizedString("Open Security & Privacy Preferences...")));
            privacyItem->setData(QString("openPrivacyAccessibility"));
            privacyItem->setShortcut({});
        }
        if (QAction* second = _keyMenu->actions().value(1)) _keyMenu->removeAction(second);
    }

    // The status item waits for a tray: Qt picks the kind of tray icon once, at the first one.
    _trayHosts = _platform.trayHosts ? _platform.trayHosts() : nullptr;
    if (_trayHosts) _trayHosts->changed = [this] { onTrayHostsChanged(); };
    onTrayHostsChanged();

    updateInstanceValues();
}

void AppDelegate::createStatusItem() {
    // Asked as Qt asks before its first tray icon, so we know whether a host draws our menu.
    const bool hostDrawsMenu = isStatusNotifierHostRegistered(QDBusConnection::sessionBus());
    _statusItem = std::make_unique<QSystemTrayIcon>();
    const QIcon key(":/icons/key.svg");
    const QIcon keyAlt(":/icons/key_alt.svg");
    _statusItem->setIcon(key);
    // The pressed key shows while the menu is open.
    QObject::connect(_keyMenu, &QMenu::aboutToShow, _statusItem.get(),
                     [this, keyAlt] { _statusItem->setIcon(keyAlt); });
    QObject::connect(_keyMenu, &QMenu::aboutToHide, _statusItem.get(),
                     [this, key] { _statusItem->setIcon(key); });
    // Our own popup on a click, so that the Volume slider shows wherever the icon is; a host that
    // draws menus itself shows the exported one on a right-click.
    if (hostDrawsMenu) {
        _exportedMenu = std::make_unique<ExportedMenu>(
            _keyMenu, _slider, [this](QMenu* menu) { fillSoundSetsMenu(menu); });
        QObject::connect(_exportedMenu->menu(), &QMenu::aboutToShow, _keyMenu,
                         [this] { showStartAtLogin(); });
        _statusItem->setContextMenu(_exportedMenu->menu());
    }
    QObject::connect(_statusItem.get(), &QSystemTrayIcon::activated, _keyMenu,
                     [this](QSystemTrayIcon::ActivationReason reason) {
                         if (reason == QSystemTrayIcon::DoubleClick) return;
                         if (reason == QSystemTrayIcon::Context && _exportedMenu) return;
                         showStatusMenu();
                     });
    _statusItem->show();
    showSoundSetState();
    if (!_isAccessibilityEnabled) {
        // Once the icon is up, however late the tray came; the window says it where none does.
        QTimer::singleShot(1500, _statusItem.get(), [item = _statusItem.get()] {
            item->showMessage("tapsound cannot hear your keys",
                              "Choose \"Open Security & Privacy Preferences...\" in its menu to "
                              "see how to allow it.",
                              QSystemTrayIcon::Information, 10000);
        });
    }
}

void AppDelegate::onTrayHostsChanged() {
    const std::optional<bool> present = _trayHosts ? _trayHosts->present() : true;
    if (!present) return;
    if (*present) {
        if (!_statusItem) createStatusItem();
        if (_noTrayWindow) _noTrayWindow->hide();
        return;
    }
    if (!_noTrayWindow) {
        _noTrayWindow = std::make_unique<NoTrayWindow>(_keyMenu, _slider, _isAccessibilityEnabled,
                                                       _platform.terminate);
    }
    showSoundSetState();
    showStartAtLogin();
    _noTrayWindow->show();
}

void AppDelegate::showStatusMenu() {
    if (_keyMenu->isVisible()) {
        _keyMenu->hide();
        return;
    }
    const QRect icon = _statusItem ? _statusItem->geometry() : QRect();
    _keyMenu->popup(icon.isValid() ? icon.bottomLeft() : QCursor::pos());
}

}  // namespace tapsound
