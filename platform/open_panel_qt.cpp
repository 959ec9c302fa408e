#include "platform/open_panel_qt.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QAbstractFileIconProvider>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QStyle>
#include <algorithm>
#include <utility>

namespace tapsound::platform {

namespace {

bool isPackage(const QString& path) { return path.endsWith(".tapsnd", Qt::CaseInsensitive); }

// A huge folder must not stall the dialog: only its first entries are looked at.
constexpr int kMostLookedAt = 1000;
constexpr int kMostListed = 200;

bool decodes(const QByteArray& name) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(name);
    return !utf8.hasError();
}

// Qt leaves names that are not UTF-8 out of its listings, so those are read from the folder's
// bytes here: folders, and the files a pattern matches, each with whether it is a folder.
QList<std::pair<QByteArray, bool>> undecodableNames(const QByteArray& folder,
                                                    const QStringList& patterns, bool folders) {
    QList<std::pair<QByteArray, bool>> names;
    DIR* dir = opendir(folder.constData());
    if (!dir) return names;
    int looked = 0;
    while (const dirent* entry = readdir(dir)) {
        if (++looked > kMostLookedAt || names.size() >= kMostListed) break;
        const QByteArray name(entry->d_name);
        if (name.startsWith('.') || decodes(name)) continue;
        struct stat status {};
        if (fstatat(dirfd(dir), entry->d_name, &status, 0) != 0) continue;
        // The patterns are ASCII, so the lossy decoding matches them as the bytes would.
        if ((folders && S_ISDIR(status.st_mode)) ||
            (S_ISREG(status.st_mode) && QDir::match(patterns, QString::fromUtf8(name))))
            names.append({name, S_ISDIR(status.st_mode)});
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Qt's dialog enters a folder on Open; here a selected folder is itself a valid choice, and a
// .tapsnd package, a folder on disk, is a document: choosing it opens it, it is never entered.
class SoundSetDialog : public QFileDialog {
  public:
    SoundSetDialog(const QString& caption) : QFileDialog(nullptr, caption) {
        // A double-click or Enter on a package in the list enters it: choose it instead.
        connect(this, &QFileDialog::directoryEntered, this, [this](const QString& folder) {
            if (!isPackage(folder) || !canChooseDirectories) return;
            setDirectory(QFileInfo(folder).absolutePath());
            chosen = QFile::encodeName(folder);
            done(QDialog::Accepted);
        });
    }

    // Beneath the dialog's own controls, hidden unless the folder on show has such names.
    void addUndecodableList() {
        auto* grid = qobject_cast<QGridLayout*>(layout());
        auto* model = findChild<QFileSystemModel*>();
        auto* view = findChild<QListView*>("listView");
        if (!grid || !model || !view) return;
        undecodableLabel = new QLabel(tr("Names in another encoding:"), this);
        undecodable = new QListWidget(this);
        undecodable->setObjectName("undecodableList");
        const int icon = style()->pixelMetric(QStyle::PM_SmallIconSize);
        undecodable->setIconSize({icon, icon});
        undecodable->setMaximumHeight(std::max(icon, fontMetrics().lineSpacing()) * 5);
        undecodableLabel->setBuddy(undecodable);
        const int row = grid->rowCount();
        grid->addWidget(undecodableLabel, row, 0, 1, -1);
        grid->addWidget(undecodable, row + 1, 0, 1, -1);
        listUndecodable(directory().absolutePath());
        connect(model, &QFileSystemModel::rootPathChanged, this, &SoundSetDialog::listUndecodable);
        connect(this, &QFileDialog::filterSelected, this,
                [this] { listUndecodable(directory().absolutePath()); });
        connect(undecodable, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
            item->setSelected(true);
            accept();
        });
        // Open means whichever list was used last.
        connect(undecodable, &QListWidget::itemSelectionChanged, this, [this, view] {
            if (undecodable->selectedItems().isEmpty()) return;
            view->clearSelection();
            if (auto* typed = findChild<QLineEdit*>("fileNameEdit")) typed->clear();
            if (auto* buttons = findChild<QDialogButtonBox*>("buttonBox"))
                if (auto* open = buttons->button(QDialogButtonBox::Open)) open->setEnabled(true);
        });
        connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this, view] {
            if (view->selectionModel()->hasSelection()) undecodable->clearSelection();
        });
    }

    bool canChooseDirectories = true;

  protected:
    void showEvent(QShowEvent* event) override {
        QFileDialog::showEvent(event);
        if (undecodable) listUndecodable(directory().absolutePath());
    }

    void accept() override {
        const QList<QListWidgetItem*> picked =
            undecodable ? undecodable->selectedItems() : QList<QListWidgetItem*>();
        if (!picked.isEmpty()) {
            chosen = picked.first()->data(Qt::UserRole).toByteArray();
            done(QDialog::Accepted);
            return;
        }
        const QStringList files = selectedFiles();
        if (canChooseDirectories && !files.isEmpty() && QFileInfo(files.first()).isDir()) {
            const QString folder = files.first();
            // Enter on a typed folder's path enters it; Open chooses it (so does either on a
            // package). Open with nothing selected means the folder on show: enter, don't pick.
            const bool typed = qobject_cast<QLineEdit*>(focusWidget()) != nullptr;
            if (isPackage(folder) || (!typed && QDir(folder) != directory())) {
                chosen = QFile::encodeName(folder);
                done(QDialog::Accepted);
                return;
            }
            setDirectory(folder);
            return;
        }
        QFileDialog::accept();
    }

  private:
    void listUndecodable(const QString& shown) {
        undecodable->clear();
        undecodableLabel->hide();
        undecodable->hide();
        if (!isVisible()) return;
        const QString filter = selectedNameFilter();
        const qsizetype from = filter.lastIndexOf('('), to = filter.lastIndexOf(')');
        const QStringList patterns =
            from >= 0 && to > from
                ? filter.mid(from + 1, to - from - 1).split(' ', Qt::SkipEmptyParts)
                : QStringList{"*"};
        QByteArray folder = QFile::encodeName(shown);
        if (!folder.endsWith('/')) folder += '/';
        for (const auto& [name, isFolder] :
             undecodableNames(folder, patterns, canChooseDirectories)) {
            // Shown the way other desktop dialogs show them: bad bytes as U+FFFD.
            auto* item = new QListWidgetItem(QString::fromUtf8(name), undecodable);
            if (const auto* icons = iconProvider())
                item->setIcon(icons->icon(isFolder ? QAbstractFileIconProvider::Folder
                                                   : QAbstractFileIconProvider::File));
            item->setData(Qt::UserRole, folder + name);
        }
        undecodableLabel->setVisible(undecodable->count() > 0);
        undecodable->setVisible(undecodable->count() > 0);
    }

    QLabel* undecodableLabel = nullptr;
    QListWidget* undecodable = nullptr;

  public:
    // The exact bytes of the path chosen, when not simply the Qt list's selection.
    QByteArray chosen;
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
    dialog->addUndecodableList();
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
            _chosen =
                (!dialog->chosen.isEmpty() ? dialog->chosen
                                           : QFile::encodeName(dialog->selectedFiles().value(0)))
                    .toStdString();
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
