// The document controller's windows and menus on Qt: the shared menu actions
// (one menu bar per top-level window, since Linux has no global menu bar),
// their enabling by the controller's `menusActive`, the dispatch of an action
// to the first responder that implements it, the camera-profile, preset,
// preferences, quick-reference and help windows, opening files, the reset,
// site and mail. The browser, the inspector and document windows belong to
// other classes, which plug in through the hooks below.
//
// Actions are named by their selector ("zoomImageToActualSize:"). A
// triggered action goes to the focus widget and its parents, then to the
// active window: the first one with a slot named after the selector less its
// colon (no arguments) handles it. Actions the shell implements itself are
// tried last. A disabled action reaches nobody.
//
// Everything here lives on the GUI thread. The shell is made once the
// QuorvexApplication exists and is never destroyed before the process ends.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QTextBrowser>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "document/MyDocument.h"
#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "ui/PreferencesController.h"
#include "ui/PresetWindowController.h"
#include "ui/ProfileController.h"

class QAction;
class QMainWindow;
class QMenuBar;
class QWidget;

namespace platform {

class ApplicationShell : public QObject {
    Q_OBJECT
public:
    static ApplicationShell& shared();

    // The browser window (another class) plugs in here.
    struct BrowserHooks {
        std::function<void()> showBrowser;
        std::function<void()> buildMenus;
        // Asks a running batch to stop at its next file and waits for it.
        // Called on the GUI thread while quitting: the batch must not wait
        // for the main queue meanwhile (it posts its progress with async).
        std::function<void()> stopBatchAndWait;
        // The folder the browser window shows (none while it is closed).
        std::function<std::optional<QString>()> shownFolder;
        // Shows the browser on a folder the person named.
        std::function<void(const QString& folder)> showFolder;
    };
    void setBrowserHooks(BrowserHooks hooks) { browser_ = std::move(hooks); }
    const BrowserHooks& browserHooks() const { return browser_; }

    // The metadata inspector.
    struct InspectorHooks {
        std::function<bool()> exists;
        std::function<void(const Value& metaData)> setData;
        std::function<void()> show;  // makes the inspector when missing
    };
    void setInspectorHooks(InspectorHooks hooks) { inspector_ = std::move(hooks); }

    // Makes (or brings forward) the window of an opened document; called
    // before the document is told it is displayed.
    using DocumentWindowFactory = std::function<void(const MyDocument::Ptr& document)>;
    void setDocumentWindowFactory(DocumentWindowFactory factory) {
        windowFactory_ = std::move(factory);
    }
    // The document of the last activated document window (null: none).
    void setCurrentDocumentProvider(std::function<MyDocument::Ptr()> provider) {
        currentDocument_ = std::move(provider);
    }
    // Window exports enter this group while they run; quitting waits for it.
    DispatchGroup& windowExports() { return windowExports_; }

    // Menus.
    QAction* action(const QString& selector) const;
    QList<QAction*> actions() const;
    // A menu bar with the shared actions for a top-level window.
    QMenuBar* createMenuBar(QWidget* window);
    void installMenuBar(QMainWindow* window);
    // Quit and About as inherited (always), every other item by menusActive
    // and only while some responder implements it.
    bool validateUserInterfaceItem(const QAction* item);
    void updateMenus();
    // Sends the action to the first responder that implements it.
    bool sendAction(const QString& selector);
    // The object sendAction would reach (null: none).
    QObject* responderFor(const QString& selector);

    // Documents.
    void openFiles(const QStringList& paths);
    // The Open… panel's filters, the files the program opens first, and the
    // folder it starts in: the browser's, else the last one used.
    static QStringList openPanelFilters();
    QString openPanelFolder() const;
    void openDocumentWithPath(const QString& path);

    // Windows.
    PreferencesController& preferences();
    PresetWindowController& presets();
    ProfileController& profiles();
    // The text of the quick-reference and help windows (null until shown).
    QTextBrowser* quickReferenceView() const { return qrView_; }
    QTextBrowser* helpView() const { return helpView_; }
    bool quickReferenceLoaded() const { return qrTextLoaded_; }

    // Site and mail addresses. They are placeholders, so the menus do not
    // offer showWebSite and showContactUs; Help shows the shipped user guide.
    static QString supportSiteAddress();
    static QString productSiteAddress();
    static QString supportMailAddress();
    static QString supportMailSubject();
    static QString contactURL();

public slots:
    void orderFrontStandardAboutPanel();
    void showPreferences();
    void showBrowser();
    void showInspector();
    void showProfiles();
    void showPresets();
    void showQuickReference();
    void showHelp();
    void showWebSite();
    void showContactUs();
    void openDocument();  // the Open… panel: files or a folder
    void resetQuorvex();
    void terminate();

signals:
    // The Quit item; the application delegate quits in order.
    void terminateRequested();

private:
    ApplicationShell();
    void buildActions();
    void loadQuickReference();
    // A window with the menus around a read-only text; answers the text.
    QTextBrowser* newTextWindow(const QString& objectName, const QString& title, QSize size);
    void documentDidChange();
    void newImageMetadata(const Notification& notification);
    static bool openAddress(const QString& address);

    std::map<QString, QAction*> actions_;
    QList<QAction*> actionOrder_;
    BrowserHooks browser_;
    InspectorHooks inspector_;
    DocumentWindowFactory windowFactory_;
    std::function<MyDocument::Ptr()> currentDocument_;
    DispatchGroup windowExports_;
    QPointer<PreferencesController> preferences_;
    QPointer<PresetWindowController> presets_;
    QPointer<ProfileController> profiles_;
    QPointer<QTextBrowser> qrView_;
    QPointer<QTextBrowser> helpView_;
    bool qrTextLoaded_ = false;
    // Where the Open… panel last picked files (empty: not yet).
    QString lastOpenFolder_;
    std::vector<NotificationCenter::Token> observers_;
};

}  // namespace platform
