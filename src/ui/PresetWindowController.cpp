#include "ui/PresetWindowController.h"

#include <QHeaderView>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>

#include "document/PresetManager.h"
#include "ui/AlertPresenter.h"
#include "ui/ApplicationShell.h"
#include "ui/ListTable.h"
#include "ui/QuorvexIcon.h"
#include "ui/WindowPlacement.h"

PresetWindowController::PresetWindowController(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("PresetWindow"));
    setWindowTitle(QStringLiteral("Presets"));
    table_ = newListTable(QStringLiteral("presetTable"),
                          {QStringLiteral("Name"), QStringLiteral("Description")});
    table_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);

    deleteButton_ = new QPushButton(QStringLiteral("Delete"));
    deleteButton_->setObjectName(QStringLiteral("deleteDisplayedItem"));
    connect(deleteButton_, &QPushButton::clicked, this,
            &PresetWindowController::deleteSelectedItem);
    setCentralWidget(newListWindowBody(table_, deleteButton_));
    platform::ApplicationShell::shared().installMenuBar(this);
    resize(440, 360);

    loadTable();
    QPointer<PresetWindowController> self(this);
    observer_ = platform::NotificationCenter::defaultCenter().addObserver(
        "TARNWisp_PresetsChanged",
        [self](const platform::Notification&) {
            if (self) self->loadTable();
        },
        nullptr, platform::DispatchQueue::main());
}

PresetWindowController::~PresetWindowController() {
    platform::NotificationCenter::defaultCenter().removeObserver(observer_);
}

void PresetWindowController::loadTable() {
    tableContents_.clear();
    for (platform::Dictionary& preset : PresetManager::sharedPresetManager().presetList(false)) {
        const platform::Value* name = preset.find("displayName");
        Row row;
        row.name = QString::fromStdString(name ? name->stringValue() : std::string());
        row.shortDescription = QStringLiteral("Quorvex Preset");
        row.preset = std::move(preset);
        tableContents_.push_back(std::move(row));
    }
    const QIcon icon(QPixmap::fromImage(platform::quorvexIcon(64)));
    table_->setRowCount(int(tableContents_.size()));
    for (int i = 0; i < int(tableContents_.size()); ++i) {
        auto* name = new QTableWidgetItem(icon, tableContents_[i].name);
        table_->setItem(i, 0, name);
        table_->setItem(i, 1, new QTableWidgetItem(tableContents_[i].shortDescription));
    }
    deleteButton_->setEnabled(!table_->selectedItems().isEmpty());
}

void PresetWindowController::deleteDisplayedItem(const platform::Dictionary& preset) {
    platform::Error error;
    if (!PresetManager::sharedPresetManager().removePreset(&preset, &error))
        platform::AlertPresenter::presentError(error, this);
}

void PresetWindowController::deleteSelectedItem() {
    const int row = table_->currentRow();
    if (row < 0 || row >= int(tableContents_.size())) return;
    const Row& chosen = tableContents_[size_t(row)];
    confirmDeletion(this, QStringLiteral("preset"), chosen.name,
                    [this, preset = chosen.preset] { deleteDisplayedItem(preset); });
}

void PresetWindowController::showBrowser() { platform::showOnScreen(this); }
