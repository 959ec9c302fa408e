#include "platform/user_defaults_qt.h"

#include <sys/stat.h>

#include <QByteArray>
#include <QFile>
#include <cerrno>

namespace tapsound::platform {

namespace {

// A file, or nothing yet: a FIFO or device in its place would block or never end being read.
bool canHoldSettings(const QString& path) {
    if (path.isEmpty()) return false;
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0) return errno == ENOENT;
    return S_ISREG(st.st_mode);
}

}  // namespace

QtUserDefaults::QtUserDefaults(const QString& filePath) {
    if (canHoldSettings(filePath)) {
        _settings = std::make_unique<QSettings>(filePath, QSettings::IniFormat);
    }
}

void QtUserDefaults::synchronize() {
    if (_settings) _settings->sync();
}

void QtUserDefaults::registerDefaults(const std::map<std::string, DefaultsValue>& defaults) {
    for (const auto& [key, value] : defaults) _registered[key] = value;
}

std::optional<DefaultsValue> QtUserDefaults::objectForKey(const std::string& key) const {
    if (!_settings) {
        for (const auto* values : {&_unstored, &_registered}) {
            if (const auto found = values->find(key); found != values->end()) return found->second;
        }
        return std::nullopt;
    }
    const QVariant stored = _settings->value(QString::fromStdString(key));
    if (!stored.isValid()) {
        const auto registered = _registered.find(key);
        if (registered == _registered.end()) return std::nullopt;
        return registered->second;
    }
    if (stored.typeId() == QMetaType::QByteArray) {
        const QByteArray bytes = stored.toByteArray();
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }
    // The ini file keeps numbers as text; a value that reads as a number is one.
    bool isNumber = false;
    const double number = stored.toDouble(&isNumber);
    if (isNumber) return number;
    return stored.toString().toStdString();
}

void QtUserDefaults::setObjectForKey(const DefaultsValue& value, const std::string& key) {
    if (!_settings) {
        _unstored[key] = value;
        return;
    }
    const QString name = QString::fromStdString(key);
    if (const auto* number = std::get_if<double>(&value)) {
        _settings->setValue(name, *number);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        _settings->setValue(name, QString::fromStdString(*text));
    } else if (const auto* data = std::get_if<std::vector<std::uint8_t>>(&value)) {
        _settings->setValue(name, QByteArray(reinterpret_cast<const char*>(data->data()),
                                             static_cast<qsizetype>(data->size())));
    }
}

}  // namespace tapsound::platform
