#include <QAction>
#include <QActionGroup>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <algorithm>
#include <array>
#include <cmath>

#include "app/app_delegate.h"
#include "app/main_interface.h"
#include "platform/user_defaults.h"

namespace tapsound {

namespace {
constexpr const char* kStereoKey = "stereoWidth";
constexpr const char* kVariationKey = "varyEachPress";
constexpr const char* kOutputKey = "output";  // the output's stable name, kept as data

// How far apart the keys sound: Narrow as a keyboard heard from arm's length, Wide as from the
// typing seat with the keypad at the right ear.
constexpr std::array<float, 3> kWidths = {0.0f, 0.4f, 1.0f};

// The most a press strays from the recording. Slight stays within what one key differs from
// press to press on a real board (a quarter of a semitone is about the least a short click is
// heard to change by; 1.5 dB a firmer or lighter press); More sounds like different fingers.
struct Spread {
    float cents = 0.0f;
    float decibels = 0.0f;
};
constexpr std::array<Spread, 3> kSpreads = {{{0.0f, 0.0f}, {30.0f, 1.5f}, {70.0f, 3.0f}}};

int storedChoice(const platform::UserDefaults& defaults, const char* key, int count) {
    const auto stored = defaults.objectForKey(key);
    const double* number = stored ? std::get_if<double>(&*stored) : nullptr;
    if (!number || !(*number >= 0 && *number < count)) return 0;
    return static_cast<int>(*number);
}

// Exclusive, checked items; choosing one calls `choose` with its index.
template <typename Choose>
void fillChoices(QMenu* menu, const QStringList& titles, int chosen, Choose choose) {
    menu->clear();
    auto* group = new QActionGroup(menu);
    for (int i = 0; i < titles.size(); ++i) {
        QAction* item = menu->addAction(titles[i]);
        item->setCheckable(true);
        item->setChecked(i == chosen);
        group->addAction(item);
        QObject::connect(item, &QAction::triggered, item, [choose, i] { choose(i); });
    }
}
}  // namespace

void AppDelegate::connectSoundControls() {
    const std::array<std::pair<const char*, void (AppDelegate::*)(QMenu*)>, 3> menus = {{
        {"stereo", &AppDelegate::fillStereoMenu},
        {"varyEachPress", &AppDelegate::fillVariationMenu},
        {"output", &AppDelegate::fillOutputMenu},
    }};
    for (const auto& entry : menus) {
        const auto fill = entry.second;
        QAction* item = itemWithAction(_keyMenu, entry.first);
        if (!item || !item->menu()) continue;
        QMenu* menu = item->menu();
        QObject::connect(menu, &QMenu::aboutToShow, menu,
                         [this, menu, fill] { (this->*fill)(menu); });
        // Filled once now, so that a window's button shows its choices before the menu opens.
        (this->*fill)(menu);
    }
}

void AppDelegate::readSoundOptions() {
    _stereoWidth = storedChoice(_platform.userDefaults, kStereoKey, kWidths.size());
    _variation = storedChoice(_platform.userDefaults, kVariationKey, kSpreads.size());
    // As data, so that no name is ever read back as a number.
    const auto stored = _platform.userDefaults.objectForKey(kOutputKey);
    const auto* name = stored ? std::get_if<std::vector<std::uint8_t>>(&*stored) : nullptr;
    _chosenOutput = name ? std::string(name->begin(), name->end()) : std::string();
    routeOutput();
}

void AppDelegate::setStereoWidth(int width) {
    _stereoWidth = std::clamp(width, 0, static_cast<int>(kWidths.size()) - 1);
    _platform.userDefaults.setObjectForKey(static_cast<double>(_stereoWidth), kStereoKey);
}

void AppDelegate::setVariation(int variation) {
    _variation = std::clamp(variation, 0, static_cast<int>(kSpreads.size()) - 1);
    _platform.userDefaults.setObjectForKey(static_cast<double>(_variation), kVariationKey);
}

void AppDelegate::chooseOutput(const std::string& name) {
    _chosenOutput = name;
    _platform.userDefaults.setObjectForKey(std::vector<std::uint8_t>(name.begin(), name.end()),
                                           kOutputKey);
    routeOutput();
}

void AppDelegate::outputsChanged(std::vector<OutputDevice> outputs) {
    _outputs = std::move(outputs);
    _outputsKnown = true;
    for (const OutputDevice& output : _outputs) _outputNames[output.name] = output.description;
    routeOutput();
}

// The chosen output while the server has it, else the default until it comes back. Nothing is
// told before the server has listed its outputs: the player starts on the default anyway.
void AppDelegate::routeOutput() {
    if (!_outputsKnown) return;
    const bool present =
        std::any_of(_outputs.begin(), _outputs.end(),
                    [this](const OutputDevice& o) { return o.name == _chosenOutput; });
    const std::string route = present ? _chosenOutput : std::string();
    if (_route == route) return;
    _route = route;
    if (_platform.routeOutput) _platform.routeOutput(route);
}

float AppDelegate::pointerPosition(double fraction) const {
    if (!(fraction >= 0.0 && fraction <= 1.0)) return 0.0f;
    return static_cast<float>(fraction * 2.0 - 1.0);
}

double AppDelegate::pointerOnScreen() const {
    // Wayland tells no client where the pointer is outside its own windows.
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (QGuiApplication::platformName() != "xcb" || !screen) return -1;
    const QRect desktop = screen->virtualGeometry();
    if (desktop.width() < 2) return -1;
    return static_cast<double>(QCursor::pos(screen).x() - desktop.left()) / (desktop.width() - 1);
}

platform::Voicing AppDelegate::voicingAt(float position) const {
    platform::Voicing voicing;
    voicing.pan = position * kWidths[static_cast<std::size_t>(_stereoWidth)];
    const Spread spread = kSpreads[static_cast<std::size_t>(_variation)];
    if (spread.cents > 0.0f) {
        // Drawn only when asked for, so that without variation the draws of weighted variants
        // stay as they were.
        const auto draw = [this] {
            return static_cast<float>(static_cast<double>(_platform.rand()) / 2147483647.0 * 2.0 -
                                      1.0);
        };
        voicing.rate = std::exp2(draw() * spread.cents / 1200.0f);
        voicing.level = std::pow(10.0f, draw() * spread.decibels / 20.0f);
    }
    return voicing;
}

void AppDelegate::fillStereoMenu(QMenu* menu) {
    fillChoices(menu, {"Off", "Narrow", "Wide"}, _stereoWidth,
                [this](int i) { setStereoWidth(i); });
}

void AppDelegate::fillVariationMenu(QMenu* menu) {
    fillChoices(menu, {"Off", "Slight", "More"}, _variation, [this](int i) { setVariation(i); });
}

void AppDelegate::fillOutputMenu(QMenu* menu) {
    QStringList titles{"Default"};
    std::vector<std::string> names{std::string()};
    for (const OutputDevice& output : _outputs) {
        titles << shownAsWritten(
            QString::fromStdString(output.description.empty() ? output.name : output.description));
        names.push_back(output.name);
    }
    auto chosen = std::find(names.begin(), names.end(), _chosenOutput);
    const bool away = chosen == names.end();
    fillChoices(menu, titles, static_cast<int>(chosen - names.begin()),
                [this, names](int i) { chooseOutput(names[static_cast<std::size_t>(i)]); });
    if (away) {
        // Chosen but unplugged: shown, so the user knows the sound goes back there.
        const auto known = _outputNames.find(_chosenOutput);
        const std::string shown = known != _outputNames.end() ? known->second : _chosenOutput;
        QAction* item =
            menu->addAction(shownAsWritten(QString::fromStdString(shown)) + " (not connected)");
        item->setCheckable(true);
        item->setChecked(true);
        item->setEnabled(false);
    }
}

}  // namespace tapsound
