// The preferences window: a toolbar whose items select the panes of a tab
// view (selectTab0: ... selectTab10: select the pane at that index, when
// there is one). Its controls are bound to user defaults by key (a control's
// object name is its key): the browser's file filter, "SilentlyOverwrite",
// "ShowPopoverHelp", "enableCinematic", "ShowExternalProfiles", the Photo CD
// keys, "DisableImageCache" and "DisableFrameBuffer" (the crash guard sets
// those two; only the user clears them), and the raw search folder.
//
// A control follows its default when another part of the program changes it
// (observed, then applied on the main queue). GUI thread only.
#pragma once

#include <QMainWindow>
#include <QString>
#include <filesystem>
#include <optional>
#include <vector>

#include "platform/UserDefaults.h"

class QActionGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QStackedWidget;
class QToolBar;

class PreferencesController : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* kRawSearchMessage =
        "Select a folder location containing your raw images.";

    explicit PreferencesController(QWidget* parent = nullptr);
    ~PreferencesController() override;

    QStackedWidget* tabView() const { return tabView_; }
    QToolBar* prefsToolBar() const { return prefsToolBar_; }
    bool isQuorvexMonochrome() const { return false; }

    // The raw search folder from its bookmark, or none.
    std::optional<std::filesystem::path> rawSearch() const;
    void setRawSearch(const std::filesystem::path& folder);

public slots:
    void selectTab0();
    void selectTab1();
    void selectTab2();
    void selectTab3();
    void selectTab4();
    void selectTab5();
    void selectTab6();
    void selectTab7();
    void selectTab8();
    void selectTab9();
    void selectTab10();
    // The folder panel of the raw search path (window-modal, non-native).
    void chooseRawSearchFolder();

private:
    void selectTab(int index);
    void addPane(const QString& title, QWidget* pane);
    QWidget* generalPane();
    QWidget* processingPane();
    QWidget* photoCDPane();
    QWidget* rawSearchPane();
    QWidget* advancedPane();
    QCheckBox* boundCheckBox(const QString& text, const char* key);
    QComboBox* boundComboBox(const QStringList& items, const char* key);
    void showRawSearch();
    template <typename Apply>
    void observe(const char* key, Apply apply);

    QStackedWidget* tabView_ = nullptr;
    QToolBar* prefsToolBar_ = nullptr;
    QActionGroup* paneGroup_ = nullptr;
    QLineEdit* rawSearchPath_ = nullptr;
    std::vector<platform::UserDefaults::Token> observers_;
};
