#include "ui/ProfileController.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <optional>

#include "platform/Dispatch.h"
#include "ui/AlertPresenter.h"
#include "ui/ApplicationShell.h"
#include "ui/BitmapQImage.h"
#include "ui/ListTable.h"
#include "ui/WindowPlacement.h"

namespace {
CameraProfileManager& manager() { return CameraProfileManager::sharedCameraProfileManager(); }
}  // namespace

ProfileController::ProfileController(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("ProfileWindow"));
    setWindowTitle(QStringLiteral("Camera Profiles"));
    table_ = newListTable(QStringLiteral("profileTable"),
                          {QStringLiteral("Camera"), QStringLiteral("Profile")});
    table_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);

    auto* import = new QPushButton(QStringLiteral("Import…"));
    import->setObjectName(QStringLiteral("importProfile"));
    connect(import, &QPushButton::clicked, this, &ProfileController::importProfile);
    deleteButton_ = new QPushButton(QStringLiteral("Delete"));
    deleteButton_->setObjectName(QStringLiteral("deleteDisplayedItem"));
    connect(deleteButton_, &QPushButton::clicked, this, &ProfileController::deleteSelectedItem);
    setCentralWidget(newListWindowBody(table_, deleteButton_, import));
    platform::ApplicationShell::shared().installMenuBar(this);
    resize(520, 380);

    loadTable();
    QPointer<ProfileController> self(this);
    observer_ = manager().addProfileListObserver([self](bool prior) {
        if (prior) return;
        platform::DispatchQueue::main()->async([self] {
            if (self) self->loadTable();
        });
    });
}

ProfileController::~ProfileController() { manager().removeProfileListObserver(observer_); }

void ProfileController::loadTable() {
    tableContents_.clear();
    for (auto& profile : manager().profileList(false)) {
        Row row;
        row.name = QString::fromStdString(profile->uniqueCameraModelRestriction());
        row.shortDescription = QString::fromStdString(profile->name());
        row.profile = std::move(profile);
        tableContents_.push_back(std::move(row));
    }
    table_->setRowCount(int(tableContents_.size()));
    for (int i = 0; i < int(tableContents_.size()); ++i) {
        const Row& row = tableContents_[size_t(i)];
        QIcon icon;
        if (const auto& bitmap = row.profile->icon())
            icon = QIcon(QPixmap::fromImage(platform::qImageFromBitmap(*bitmap)));
        table_->setItem(i, 0, new QTableWidgetItem(icon, row.name));
        table_->setItem(i, 1, new QTableWidgetItem(row.shortDescription));
    }
    deleteButton_->setEnabled(!table_->selectedItems().isEmpty());
}

bool ProfileController::importFiles(const QStringList& files) {
    std::optional<platform::Error> reported;
    for (const QString& file : files) {
        platform::Error error;
        if (!manager().addProfile(file.toStdString(), &error)) reported = error;
        loadTable();
    }
    if (reported) platform::AlertPresenter::presentError(*reported, this);
    return !reported;
}

void ProfileController::importProfile() {
    auto* panel = new QFileDialog(this, QString::fromLatin1(kImportMessage));
    panel->setObjectName(QStringLiteral("importPanel"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setFileMode(QFileDialog::ExistingFiles);
    panel->setNameFilter(QStringLiteral("DNG camera profiles (*.dcp *.DCP)"));
    panel->setLabelText(QFileDialog::Accept, QStringLiteral("Import"));
    panel->setWindowModality(Qt::WindowModal);
    QPointer<ProfileController> self(this);
    connect(panel, &QFileDialog::filesSelected, this, [self](const QStringList& files) {
        if (self) self->importFiles(files);
    });
    panel->open();
}

void ProfileController::deleteDisplayedItem(const CameraProfileManager::ProfilePtr& profile) {
    if (!profile) return;
    platform::Error error;
    if (!manager().removeProfile(*profile, &error))
        platform::AlertPresenter::presentError(error, this);
    loadTable();
}

void ProfileController::deleteSelectedItem() {
    const int row = table_->currentRow();
    if (row < 0 || row >= int(tableContents_.size())) return;
    const Row& chosen = tableContents_[size_t(row)];
    confirmDeletion(this, QStringLiteral("camera profile"), chosen.shortDescription,
                    [this, profile = chosen.profile] { deleteDisplayedItem(profile); });
}

void ProfileController::showBrowser() { platform::showOnScreen(this); }
