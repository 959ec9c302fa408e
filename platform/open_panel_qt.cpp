#include "platform/open_panel_qt.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QStandardPaths>

namespace tapsound::platform {

namespace {

bool isPackage(const QString& path) { return path.endsWith(".tapsnd", Qt::CaseInsensitive); }

// Qt's dialog enters a folder on Open; here a selected folder is itself a valid choice, and a
// .tapsnd package, a folder on disk, is a document: choosing it opens it, it is never entered.
class SoundSetDialog : public QFileDialog {
  public:
    SoundSetDialog(const QString& caption) : QFileDialog(nullptr, caption) {
        // A double-click or Enter on a package in the list enters it: choose it instead.
        connect(this, &QFileDialog::directoryEntered, this, [this](const QString& folder) {
            if (!isPackage(folder) || !canChooseDirectories) return;
            setDirectory(QFileInfo(folder).absolutePath());
            chosen = folder;
            done(QDialog::Accepted);
        });
    }
    bool canChooseDirectories = true;

  protected:
    void accept() override {
        const QStringList files = selectedFiles();
        if (canChooseDirectories && !files.isEmpty() && QFileInfo(files.first()).isDir()) {
            const QString folder = files.first();
            // Enter on a typed folder's path enters it; Open chooses it (so does either on a
            // package). Open with nothing selected means the folder on show: enter, don't pick.
            const bool typed = qobject_cast<QLineEdit*>(focusWidget()) != nullptr;
            if (isPackage(folder) || (!typed && QDir(folder) != directory())) {
                chosen = folder;
                done(QDialog::Accepted);
                return;
            }
            setDirectory(folder);
            return;
        }
        QFileDialog::accept();
    }

  public:
    QString chosen;
};

}  // namespace

QtOpenPanel::QtOpenPanel() {
    auto* dialog = new SoundSetDialog(QFileDialog::tr("Open Sound Set"));
    dialog->setDirectory(QStandardPaths::writableLocation(QStandardPaths::HomeLocation));
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
    if (_dialog)
        _dialog->setFileMode(allows ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
}

void QtOpenPanel::setCanChooseDirectories(bool can) {
    if (auto* dialog = static_cast<SoundSetDialog*>(_dialog.data()))
        dialog->canChooseDirectories = can;
}

void QtOpenPanel::setDirectoryURL(const std::string& folder) {
    const QString shown = QFile::decodeName(folder.c_str());
    if (_dialog && QFileInfo(shown).isDir()) {
        _dialog->setDirectory(shown);
    }
}

void QtOpenPanel::beginWithCompletionHandler(std::function<void(int response)> handler) {
    if (!_dialog) return;
    _handler = std::move(handler);
    QObject::connect(_dialog, &QDialog::finished, _dialog, [this](int result) {
        auto* dialog = static_cast<SoundSetDialog*>(_dialog.data());
        if (result == QDialog::Accepted && dialog) {
            const QString path =
                !dialog->chosen.isEmpty() ? dialog->chosen : dialog->selectedFiles().value(0);
            _chosen = QFile::encodeName(path).toStdString();
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
