// Exporting from the window: the save panel, the export on the shared work
// queue (counted by the shell, which waits for it at quit), the progress
// sheet and the error alert; the external editor's file is rewritten the
// same way.
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QVBoxLayout>
#include <filesystem>

#include "color/SettingsKeys.h"
#include "document/DocumentExport.h"
#include "engine/QueueEngine.h"
#include "platform/CaselessNames.h"
#include "platform/Dispatch.h"
#include "platform/OutputFile.h"
#include "ui/AlertPresenter.h"
#include "ui/ApplicationShell.h"
#include "ui/DocumentWindowController.h"

namespace {
QString typeName(const char* type) { return QString::fromLatin1(type); }

// Every extension a file of the type usually has, the one it is given first.
QStringList extensionsOf(const QString& extension) {
    if (extension == QLatin1String("jpg")) return {extension, QStringLiteral("jpeg")};
    if (extension == QLatin1String("tif")) return {extension, QStringLiteral("tiff")};
    return {extension};
}

// The file an export writes for a chosen name: the type's extension is
// added unless the name has one of the type's own, in any letter case. A
// name ending in dots ("ending.") takes it in their place.
QString withExtension(const QString& path, const QString& extension) {
    const QFileInfo info(path);
    if (info.isDir() || extensionsOf(extension).contains(info.suffix(), Qt::CaseInsensitive))
        return path;
    QString stem = path;
    while (stem.endsWith(QLatin1Char('.')) && !QFileInfo(stem.chopped(1)).fileName().isEmpty())
        stem.chop(1);
    return stem + QStringLiteral(".") + extension;
}

// The export's save panel. The name it checks for an existing file is the
// one the export writes, extension included, so replacing a file is asked
// first; Cancel keeps the file and the panel. The photo's own file is
// refused at once, as is a name differing from it only in letter case.
class ExportSavePanel : public QFileDialog {
public:
    ExportSavePanel(QWidget* parent, QString extension, std::filesystem::path source)
        : QFileDialog(parent), extension_(std::move(extension)), source_(std::move(source)) {
        setOption(QFileDialog::DontUseNativeDialog);
        setOption(QFileDialog::DontConfirmOverwrite);  // asked below, on the full name
        setAcceptMode(QFileDialog::AcceptSave);
        setDefaultSuffix(extension_);
        setNameFilter(QStringLiteral("*.") + extensionsOf(extension_).join(QStringLiteral(" *.")));
    }

    QString chosenPath() const {
        const QStringList files = selectedFiles();
        return files.isEmpty() ? QString() : withExtension(files.first(), extension_);
    }

    void accept() override {
        const QString path = chosenPath();
        const QFileInfo info(path);
        if (!path.isEmpty() && refusedAsSource(info)) return;
        // A file whose name differs only in letter case (the camera's
        // "IMG_0001.JPG" for "IMG_0001.jpg") is the same file on a card and
        // on most other systems: replacing it is asked, and writes its name.
        QString existing;
        if (!path.isEmpty() && !info.exists()) {
            const auto like = platform::CaselessNames::ofFolder(
                                  std::filesystem::path(info.absolutePath().toStdString()))
                                  .nameLike(info.fileName().toStdString());
            if (like) existing = QString::fromStdString(*like);
        } else if (!path.isEmpty() && !info.isDir()) {
            existing = info.fileName();
        }
        if (existing.isEmpty()) {
            QFileDialog::accept();
            return;
        }
        platform::Alert alert;
        alert.messageText =
            QStringLiteral("“%1” already exists. Do you want to replace it?").arg(existing);
        alert.informativeText =
            existing == info.fileName()
                ? QStringLiteral(
                      "A file with the same name already exists in “%1”. Replacing it "
                      "will overwrite its current contents.")
                      .arg(info.absolutePath())
                : QStringLiteral(
                      "Its name differs from “%1” only in letter case, and most "
                      "memory cards, disks and other computers take the two for one "
                      "file. Replacing it will overwrite its current contents.")
                      .arg(info.fileName());
        alert.buttons = {QStringLiteral("Cancel"), QStringLiteral("Replace")};
        alert.cancelButton = 0;
        QPointer<ExportSavePanel> self(this);
        platform::AlertPresenter::current().present(
            alert, this, [self, path, existing](int button) {
                if (!self || button != 1 || self->chosenPath() != path) return;
                self->selectFile(QFileInfo(path).dir().filePath(existing));
                self->QFileDialog::accept();
            });
    }

private:
    // Says why the name cannot be written and hands it back for another.
    bool refusedAsSource(const QFileInfo& chosen) {
        if (source_.empty()) return false;
        const QString sourceName = QString::fromStdString(source_.filename().string());
        const std::filesystem::path path = chosen.absoluteFilePath().toStdString();
        platform::Alert alert;
        if (DocumentExport::sameFile(path, source_)) {
            alert.messageText = QStringLiteral(
                                    "“%1” is the file this photo was opened from; an export never "
                                    "replaces it.")
                                    .arg(chosen.fileName());
        } else if (chosen.fileName().compare(sourceName, Qt::CaseInsensitive) == 0 &&
                   DocumentExport::sameFile(path.parent_path(), source_.parent_path())) {
            alert.messageText =
                QStringLiteral(
                    "“%1” differs only in letter case from “%2”, the file this photo "
                    "was opened from. Many disks and most backups take the two names "
                    "for one file, so an export never uses it.")
                    .arg(chosen.fileName(), sourceName);
        } else {
            return false;
        }
        alert.informativeText = QStringLiteral("Choose another name.");
        QPointer<ExportSavePanel> self(this);
        selectName();
        platform::AlertPresenter::current().present(alert, this, [self](int) {
            if (self) self->selectName();
        });
        return true;
    }

    void selectName() {
        if (auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
            edit->setFocus();
            edit->selectAll();
        }
    }

    QString extension_;
    std::filesystem::path source_;
};

}  // namespace

QString DocumentWindowController::extensionForType(const QString& type) {
    // Unlike the document's table, an unknown type gets the TIFF extension here.
    const std::string known = type.toStdString();
    if (known != DocumentExport::kTypeJPEG && known != DocumentExport::kTypeDNG &&
        known != DocumentExport::kTypeEXR)
        return QStringLiteral("tif");
    return QString::fromStdString(DocumentExport::extensionForType(known));
}

void DocumentWindowController::exportAsSelected() {
    exportAsType(QString::fromStdString(DocumentExport::typeForExportFileType(
        document_->valueForKey(SettingsKeys::kExportFileType))));
}

void DocumentWindowController::exportAsType(const QString& type) {
    const QRectF crop = documentCropRect();
    const QString extension = extensionForType(type);
    const auto file = document_->fileURL();
    auto* panel = new ExportSavePanel(window_, extension, file);
    panel->setWindowModality(Qt::WindowModal);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    // The raw file's name with the type's extension; where that is the raw
    // file itself (a DNG), which the export never replaces, or differs only
    // in letter case from a file there (the camera's "IMG_0001.JPG"), the
    // first free numbered name, as a batch export would make it.
    std::filesystem::path proposed =
        file.parent_path() / (file.stem().string() + "." + extension.toStdString());
    const auto names = platform::CaselessNames::ofFolder(file.parent_path());
    const auto like = names.nameLike(proposed.filename().string());
    if (DocumentExport::sameFile(proposed, file) || (like && *like != proposed.filename().string()))
        proposed = platform::OutputFile::firstFreeName(proposed, true, &names).value_or(proposed);
    panel->setDirectory(QString::fromStdString(file.parent_path().string()));
    panel->selectFile(QString::fromStdString(proposed.filename().string()));
    QPointer<DocumentWindowController> self(this);
    connect(panel, &QFileDialog::fileSelected, this, [self, type, extension, crop](QString path) {
        if (!self || path.isEmpty()) return;
        self->exportToPath(withExtension(path, extension), type, crop);
    });
    panel->open();
}

void DocumentWindowController::exportToPath(const QString& path, const QString& type,
                                            std::optional<QRectF> crop) {
    const QRectF r = crop.value_or(documentCropRect());
    showProgressSheet(QFileInfo(path).fileName());
    QPointer<DocumentWindowController> self(this);
    MyDocument::Ptr document = document_;
    const std::string file = path.toStdString(), uti = type.toStdString();
    platform::ApplicationShell::shared().windowExports().async(
        QueueEngine::sharedQueueEngine().sharedQueue(), [self, document, file, uti, r] {
            platform::Error error;
            const bool ok = document->exportToURL(
                file, uti, platform::Rect{r.x(), r.y(), r.width(), r.height()}, false, &error);
            std::optional<platform::Error> failure;
            if (!ok) failure = error;
            platform::DispatchQueue::main()->async([self, failure] {
                if (self) self->exportPresentError(failure);
            });
        });
}

void DocumentWindowController::extEditorUpdate() {
    const auto url = document_->extEditorURL();
    if (!url) return;
    const QString path = QString::fromStdString(url->string());
    const QString ext = QFileInfo(path).suffix().toLower();
    const QString type = ext == QLatin1String("jpg") || ext == QLatin1String("jpeg")
                             ? typeName(DocumentExport::kTypeJPEG)
                             : typeName(DocumentExport::kTypeTIFF);
    // The whole image, whatever crop the document holds.
    exportToPath(path, type, QRectF(0, 0, 0, 0));
}

void DocumentWindowController::showProgressSheet(const QString& fileName) {
    if (!progressSheet_) {
        progressSheet_ = new QDialog(window_);
        progressSheet_->setObjectName(QStringLiteral("ProgressSheet"));
        progressSheet_->setWindowModality(Qt::WindowModal);
        progressSheet_->setWindowOpacity(0.9);
        auto* layout = new QVBoxLayout(progressSheet_);
        progressText_ = new QLabel(progressSheet_);
        progressBar_ = new QProgressBar(progressSheet_);
        progressBar_->setRange(0, 100);
        layout->addWidget(progressText_);
        layout->addWidget(progressBar_);
        progressSheet_->setMinimumWidth(360);
    }
    progressText_->setText(fileName);
    progressBar_->setValue(33);
    progressSheet_->open();
}

void DocumentWindowController::exportPresentError(const std::optional<platform::Error>& error) {
    if (progressBar_) progressBar_->setValue(90);
    if (progressSheet_) progressSheet_->done(0);
    if (error) platform::AlertPresenter::presentError(*error, window_);
}
