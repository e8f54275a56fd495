// The camera-profile window: a table of the installed profiles (preview
// icon, camera model, profile name), an Import… button (a non-native,
// window-modal panel for ".dcp" files, several at once) and a Delete button.
// The table is rebuilt after every import, removal or other change of the
// camera-profile list (its observer, applied on the main queue). Errors are
// shown window-modal. GUI thread only.
#pragma once

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <vector>

#include "color/CameraProfileManager.h"

class QPushButton;
class QTableWidget;

class ProfileController : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* kImportMessage = "Import one or more files or directories.";

    struct Row {
        CameraProfileManager::ProfilePtr profile;  // "class"
        QString name;                              // its uniqueCameraModelRestriction
        QString shortDescription;                  // its name
    };

    explicit ProfileController(QWidget* parent = nullptr);
    ~ProfileController() override;

    QMainWindow* browserWindow() { return this; }
    QTableWidget* table() const { return table_; }
    const std::vector<Row>& tableContents() const { return tableContents_; }

    void loadTable();
    // Imports the files in order, reloading after each; the last error (if
    // any) is presented once all were tried. Answers whether all worked.
    bool importFiles(const QStringList& files);
    void deleteDisplayedItem(const CameraProfileManager::ProfilePtr& profile);

public slots:
    void showBrowser();
    void importProfile();  // opens the import panel
    // Deletes the selected row's profile once the user confirms it.
    void deleteSelectedItem();

private:
    QTableWidget* table_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    std::vector<Row> tableContents_;
    CameraProfileManager::Token observer_ = 0;
};
