// The preset window: a table of the presets (icon, "displayName", "Quorvex
// Preset") and a Delete button. The table is rebuilt whenever
// "TARNWisp_PresetsChanged" is posted (observed on the main queue). Removal
// errors are shown window-modal. GUI thread only.
#pragma once

#include <QMainWindow>
#include <QString>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Value.h"

class QPushButton;
class QTableWidget;

class PresetWindowController : public QMainWindow {
    Q_OBJECT
public:
    // A row of the table.
    struct Row {
        platform::Dictionary preset;  // "class"
        QString name;                 // its "displayName"
        QString shortDescription;     // "Quorvex Preset"
    };

    explicit PresetWindowController(QWidget* parent = nullptr);
    ~PresetWindowController() override;

    QMainWindow* browserWindow() { return this; }
    QTableWidget* table() const { return table_; }
    const std::vector<Row>& tableContents() const { return tableContents_; }

    void loadTable();
    // Deletes the preset's file; an error is presented on the window.
    void deleteDisplayedItem(const platform::Dictionary& preset);

public slots:
    void showBrowser();
    // Deletes the selected row's preset once the user confirms it.
    void deleteSelectedItem();

private:
    QTableWidget* table_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    std::vector<Row> tableContents_;
    platform::NotificationCenter::Token observer_ = 0;
};
