#include "platform/open_panel_qt.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

namespace tapsound::platform {

namespace {

// Qt's dialog enters a folder on Open; here a selected folder is itself a valid choice.
class SoundSetDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;
    bool canChooseDirectories = true;

protected:
    void accept() override {
        const QStringList files = selectedFiles();
        if (canChooseDirectories && !files.isEmpty() && QFileInfo(files.first()).isDir()) {
            const QString folder = files.first();
            // Open with nothing selected in the list means the folder on show: enter, don't pick.
            if (QDir(folder) != directory() || folder.endsWith(".tapsnd", Qt::CaseInsensitive)) {
                chosen = folder;
                done(QDialog::Accepted);
                return;
            }
        }
        QFileDialog::accept();
    }

public:
    QString chosen;
};

}  // namespace

QtOpenPanel::QtOpenPanel() {
    auto* dialog = new SoundSetDialog(nullptr, QFileDialog::tr("Open Sound Set"),
                                      QStandardPaths::writableLocation(QStandardPaths::HomeLocation));
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setWindowModality(Qt::NonModal);
    _dialog = dialog;
}

QtOpenPanel::~QtOpenPanel() {
    if (_dialog) {
        _dialog->disconnect();
        _dialog->hide();
        _dialog->deleteLater();
    }
}

void QtOpenPanel::setAllowedFileTypes(const std::vector<std::string>& extensions) {
    if (!_dialog) return;
    QStringList patterns;
    for (const auto& extension : extensions) {
        patterns << "*." + QString::fromStdString(extension);
    }
    _dialog->setNameFilters({QFileDialog::tr("Sounds and sound sets (%1)").arg(patterns.join(' ')),
                             QFileDialog::tr("All files (*)")});
}

void QtOpenPanel::setAllowsMultipleSelection(bool allows) {
    if (_dialog) _dialog->setFileMode(allows ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
}

void QtOpenPanel::setCanChooseDirectories(bool can) {
    if (auto* dialog = static_cast<SoundSetDialog*>(_dialog.data())) dialog->canChooseDirectories = can;
}

void QtOpenPanel::beginWithCompletionHandler(std::function<void(int response)> handler) {
    if (!_dialog) return;
    _handler = std::move(handler);
    QObject::connect(_dialog, &QDialog::finished, _dialog, [this](int result) {
        auto* dialog = static_cast<SoundSetDialog*>(_dialog.data());
        if (result == QDialog::Accepted && dialog) {
            const QString path = !dialog->chosen.isEmpty() ? dialog->chosen
                                 : dialog->selectedFiles().value(0);
            _chosen = path.toStdString();
        }
        // The handler may destroy this panel, so it runs from a copy.
        const auto handler = _handler;
        if (handler) handler(result == QDialog::Accepted ? kModalResponseOK : kModalResponseCancel);
    });
    _dialog->show();
    orderFrontRegardless();
}

void QtOpenPanel::orderFrontRegardless() {
    if (!_dialog) return;
    _dialog->raise();
    _dialog->activateWindow();
}

std::string QtOpenPanel::URL() const { return _chosen; }

}  // namespace tapsound::platform
