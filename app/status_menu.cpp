#include <QAction>
#include <QCursor>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLibraryInfo>
#include <QMenu>
#include <QScreen>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVersionNumber>
#include <QWidget>
#include <QWidgetAction>
#include <algorithm>
#include <cmath>
#include <ctime>
#include <utility>

#include "app/app_delegate.h"
#include "app/exported_menu.h"
#include "app/main_interface.h"
#include "app/no_tray_window.h"
#include "app/status_notifier_item.h"
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

// Where a menu goes beside a tray icon, as hosts place theirs: beside the panel the icon sits on
// (the part of the screen outside its free area), else away from the nearer screen edge; all on
// screen.
QPoint besideIcon(const QRect& icon, const QSize& menu) {
    const QScreen* screen = QGuiApplication::screenAt(icon.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return icon.bottomLeft();
    const QRect whole = screen->geometry(), free = screen->availableGeometry();
    QPoint at(icon.left(), icon.bottom() + 1);
    if (icon.right() < free.left()) {
        at = {free.left(), icon.top()};
    } else if (icon.left() > free.right()) {
        at = {free.right() + 1 - menu.width(), icon.top()};
    } else if (icon.bottom() < free.top()) {
        at = {icon.left(), free.top()};
    } else if (icon.top() > free.bottom()) {
        at = {icon.left(), free.bottom() + 1 - menu.height()};
    } else if (icon.center().y() > whole.center().y()) {
        at = {icon.left(), icon.top() - menu.height()};
    }
    at.setX(
        std::clamp(at.x(), whole.left(), std::max(whole.left(), whole.right() + 1 - menu.width())));
    at.setY(
        std::clamp(at.y(), whole.top(), std::max(whole.top(), whole.bottom() + 1 - menu.height())));
    return at;
}

// A host gives only the point clicked: the icon is taken as the width of its panel's strip there.
QRect iconAt(QPoint point) {
    const QRect panel = windowAt(point);
    const QScreen* screen = QGuiApplication::screenAt(point);
    if (panel.isNull() || !screen) return {point, QSize(1, 1)};
    const QRect whole = screen->geometry();
    if (panel.width() >= panel.height() && panel.height() < whole.height() / 4) {
        return {point.x(), panel.top(), 1, panel.height()};
    }
    if (panel.width() < whole.width() / 4) return {panel.left(), point.y(), panel.width(), 1};
    return {point, QSize(1, 1)};
}

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
    // Qt picks the kind of its tray icon once per run, at its first, and is asked only while no
    // StatusNotifier host is there, so its icon is always an XEmbed one; the other kind is ours.
    const bool dbus = _trayHosts && _trayHosts->drawsFromDBus();
    if (dbus ? _notifierItem != nullptr : _statusItem != nullptr) return;
    _notifierItem.reset();
    _exportedMenu.reset();
    _statusItem.reset();
    // Our own popup on a click, so that the Volume slider shows wherever the icon is; a host that
    // draws menus itself shows the exported one on a right-click.
    if (dbus) {
        _exportedMenu = std::make_unique<ExportedMenu>(
            _keyMenu, _slider, [this](QMenu* menu) { fillSoundSetsMenu(menu); });
        QObject::connect(_exportedMenu->menu(), &QMenu::aboutToShow, _keyMenu,
                         [this] { showStartAtLogin(); });
        _notifierItem = std::make_unique<StatusNotifierItem>(_exportedMenu->menu());
        _notifierItem->activated = [this](QPoint at) {
            showStatusMenu(at.isNull() ? QRect() : iconAt(at));
        };
    } else {
        _statusItem = std::make_unique<QSystemTrayIcon>();
        QObject::connect(_statusItem.get(), &QSystemTrayIcon::activated, _keyMenu,
                         [this](QSystemTrayIcon::ActivationReason reason) {
                             if (reason != QSystemTrayIcon::DoubleClick) {
                                 showStatusMenu(_statusItem->geometry());
                             }
                         });
        _statusItem->show();
    }
    setTrayIcon(QIcon(":/icons/key.svg"));
    showSoundSetState();
    if (!_isAccessibilityEnabled && !std::exchange(_toldCannotHear, true)) {
        // Once the icon is up, however late the tray came; the window says it where none does.
        QTimer::singleShot(1500, _keyMenu, [this] {
            const QString title = "tapsound cannot hear your keys";
            const QString body =
                "Choose \"Open Security & Privacy Preferences...\" in its menu to see how to "
                "allow it.";
            if (_statusItem)
                _statusItem->showMessage(title, body, QSystemTrayIcon::Information, 10000);
            if (_notifierItem) _notifierItem->showMessage(title, body, 10000);
        });
    }
}

void AppDelegate::setTrayIcon(const QIcon& icon) {
    if (_statusItem) _statusItem->setIcon(icon);
    if (_notifierItem) _notifierItem->setIcon(icon);
}

void AppDelegate::onTrayHostsChanged() {
    const std::optional<bool> present = _trayHosts ? _trayHosts->present() : true;
    if (!present) return;
    if (*present) {
        createStatusItem();
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

void AppDelegate::showStatusMenu(const QRect& icon) {
    if (_keyMenu->isVisible()) {
        _keyMenu->hide();
        return;
    }
    const QRect anchor = icon.isValid() ? icon : QRect(QCursor::pos(), QSize(1, 1));
    _keyMenu->popup(besideIcon(anchor, _keyMenu->sizeHint()));
}

}  // namespace tapsound
