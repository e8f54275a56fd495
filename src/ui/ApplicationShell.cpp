#include "ui/ApplicationShell.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QMetaMethod>
#include <QTextBrowser>
#include <QUrl>
#include <QWindow>  // focusWindowChanged passes one
#include <filesystem>

#include "color/SettingsKeys.h"
#include "document/ApplicationDefaults.h"
#include "document/DocumentController.h"
#include "document/FSNodeInfo.h"
#include "document/PresetManager.h"
#include "engine/ThreadedImageEngine.h"
#include "platform/Log.h"
#include "ui/AlertPresenter.h"
#include "ui/KeyEquivalents.h"
#include "ui/PreferencesController.h"
#include "ui/PresetWindowController.h"
#include "ui/ProfileController.h"
#include "ui/SplashScreenPanel.h"
#include "ui/WindowPlacement.h"

namespace platform {

namespace {

constexpr const char* kTerminate = "terminate:";
constexpr const char* kAbout = "orderFrontStandardAboutPanel:";

struct ActionSpec {
    const char* menu;
    const char* selector;
    const char* text;
    QKeySequence shortcut;
};

// The application's menus; the document window and the browser implement
// the actions the shell does not.
const std::vector<ActionSpec>& actionSpecs() {
    static const std::vector<ActionSpec> specs{
        {"&Quorvex", kAbout, "About Quorvex", {}},
        {"&Quorvex", "showPreferences:", "Preferences…", QKeySequence(Qt::CTRL | Qt::Key_Comma)},
        {"&Quorvex", "resetQuorvex:", "Reset Quorvex…", {}},
        {"&Quorvex", kTerminate, "Quit Quorvex", QKeySequence(Qt::CTRL | Qt::Key_Q)},
        {"&File", "openDocument:", "Open…", QKeySequence(Qt::CTRL | Qt::Key_O)},
        {"&File", "performClose:", "Close", QKeySequence(Qt::CTRL | Qt::Key_W)},
        {"&File", "exportAsSelected:", "Export", QKeySequence(Qt::CTRL | Qt::Key_E)},
        {"&File", "exportAsJPEG:", "Export as JPEG…", {}},
        {"&File", "exportAsTIFF:", "Export as TIFF…", {}},
        {"&File", "exportAsDNG:", "Export as DNG…", {}},
        {"&File", "exportAsEXR:", "Export as OpenEXR…", {}},
        {"&View", "zoomImageToActualSize:", "Actual Size", QKeySequence(Qt::CTRL | Qt::Key_1)},
        {"&View", "zoomImageTo2:", "Zoom 200%", QKeySequence(Qt::CTRL | Qt::Key_2)},
        {"&View", "zoomImageTo3:", "Zoom 300%", QKeySequence(Qt::CTRL | Qt::Key_3)},
        {"&View", "zoomImageTo4:", "Zoom 400%", QKeySequence(Qt::CTRL | Qt::Key_4)},
        {"&View", "zoomIn:", "Zoom In", QKeySequence(Qt::CTRL | Qt::Key_Equal)},
        {"&View", "zoomOut:", "Zoom Out", QKeySequence(Qt::CTRL | Qt::Key_Minus)},
        {"&View", "zoomImageToFit:", "Zoom to Fit", QKeySequence(Qt::CTRL | Qt::Key_F)},
        {"&View", "rotateCCW:", "Rotate Left", QKeySequence(Qt::CTRL | Qt::Key_BracketLeft)},
        {"&View", "rotateCW:", "Rotate Right", QKeySequence(Qt::CTRL | Qt::Key_BracketRight)},
        {"&Window", "showBrowser:", "Browser", QKeySequence(Qt::CTRL | Qt::Key_B)},
        {"&Window", "showInspector:", "Inspector", QKeySequence(Qt::CTRL | Qt::Key_I)},
        {"&Window", "showProfiles:", "Camera Profiles", {}},
        {"&Window", "showPresets:", "Presets", {}},
        {"&Help", "showQuickReference:", "Quick Reference", QKeySequence(Qt::Key_F1)},
        {"&Help", "showHelp:", "Quorvex Help", {}},
    };
    return specs;
}

// "zoomIn:" names the slot "zoomIn()".
QByteArray slotSignature(const QString& selector) {
    QString name = selector;
    if (name.endsWith(QLatin1Char(':'))) name.chop(1);
    return QMetaObject::normalizedSignature((name + QStringLiteral("()")).toLatin1().constData());
}

bool implements(const QObject* responder, const QString& selector) {
    return responder &&
           responder->metaObject()->indexOfMethod(slotSignature(selector).constData()) >= 0;
}

bool invoke(QObject* responder, const QString& selector) {
    const QByteArray signature = slotSignature(selector);
    const int index = responder->metaObject()->indexOfMethod(signature.constData());
    return responder->metaObject()->method(index).invoke(responder, Qt::DirectConnection);
}

// The Open… panel also takes a folder: Open with one folder selected opens it
// (the document then refuses it) instead of entering it; a double click
// still enters it.
class OpenPanel : public QFileDialog {
public:
    explicit OpenPanel(QWidget* parent) : QFileDialog(parent, QStringLiteral("Open")) {}
    void accept() override {
        const QStringList files = selectedFiles();
        if (files.size() == 1 && QFileInfo(files.front()).isDir()) {
            emit filesSelected(files);
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }
};

bool sameObject(const std::shared_ptr<void>& object, const MyDocument::Ptr& document) {
    if (!object || !document) return false;
    return object.get() == static_cast<void*>(document.get()) ||
           object.get() ==
               static_cast<void*>(static_cast<ThreadedImageEngineDelegate*>(document.get()));
}

// Zoom also answers the platform's own keys and "+" typed with or without
// Shift, on the main keyboard or the keypad (a shortcut matches keypad keys
// when no keypad one is set).
QList<QKeySequence> withStandardKeys(const QString& selector, QList<QKeySequence> shortcuts) {
    QList<QKeySequence> more;
    if (selector == QLatin1String("zoomIn:")) {
        more = QKeySequence::keyBindings(QKeySequence::ZoomIn);
        more.append(QKeySequence(Qt::CTRL | Qt::Key_Plus));
    } else if (selector == QLatin1String("zoomOut:")) {
        more = QKeySequence::keyBindings(QKeySequence::ZoomOut);
    }
    for (const QKeySequence& keys : more)
        if (!shortcuts.contains(keys)) shortcuts.append(keys);
    return shortcuts;
}

}  // namespace

ApplicationShell& ApplicationShell::shared() {
    static auto* shell = new ApplicationShell;
    // The windows install the shell's menu bar, so they are made once the
    // shell exists (GUI thread only: no lock).
    static bool windowsLoaded = false;
    if (!windowsLoaded) {
        windowsLoaded = true;
        shell->profiles_ = new ProfileController;
        shell->presets_ = new PresetWindowController;
    }
    return *shell;
}

ApplicationShell::ApplicationShell() {
    DocumentController::sharedDocumentController();  // registers the defaults
    // Opening a photo and building the preset menus answer at once, whatever
    // another program does with the presets' lock.
    PresetManager::neverWaitOnThisThread();
    buildActions();

    // The Qt-free controller follows the batch's notifications at once; the
    // menus follow on the main queue.
    auto& center = NotificationCenter::defaultCenter();
    QPointer<ApplicationShell> self(this);
    const auto main = DispatchQueue::main();
    for (const char* name : {"TARNWisp_DisableMenus", "TARNWisp_EnableMenus"})
        observers_.push_back(center.addObserver(
            name,
            [self](const Notification&) {
                if (self) self->updateMenus();
            },
            nullptr, main));
    observers_.push_back(center.addObserver(
        "TARNWisp_DocumentChange",
        [self](const Notification&) {
            if (self) self->documentDidChange();
        },
        nullptr, main));
    observers_.push_back(center.addObserver(
        ThreadedImageEngine::kNewImageMetadataNotification,
        [self](const Notification& notification) {
            if (self) self->newImageMetadata(notification);
        },
        nullptr, main));
    connect(qApp, &QGuiApplication::focusWindowChanged, this, [this] { updateMenus(); });

    // A document removed on any thread (the batch closes its documents on
    // its own) has the browser rebuild its menus on the main queue.
    DocumentController::sharedDocumentController().setDocumentRemovedHook([self] {
        DispatchQueue::main()->async([self] {
            if (self && self->browser_.buildMenus) self->browser_.buildMenus();
        });
    });
}

void ApplicationShell::buildActions() {
    for (const ActionSpec& spec : actionSpecs()) {
        auto* action = new QAction(QString::fromUtf8(spec.text), this);
        const QString selector = QString::fromLatin1(spec.selector);
        action->setObjectName(selector);
        action->setProperty("menu", QString::fromUtf8(spec.menu));
        if (!spec.shortcut.isEmpty())
            action->setShortcuts(
                withStandardKeys(selector, shortcutsWithKeyEquivalents(spec.shortcut)));
        if (selector == QLatin1String(kTerminate)) action->setMenuRole(QAction::QuitRole);
        if (selector == QLatin1String(kAbout)) action->setMenuRole(QAction::AboutRole);
        connect(action, &QAction::triggered, this, [this, selector] {
            if (!sendAction(selector))
                platform::log("%s no responder for %s", "ApplicationShell",
                              selector.toUtf8().constData());
        });
        actions_[selector] = action;
        actionOrder_.append(action);
    }
}

QAction* ApplicationShell::action(const QString& selector) const {
    const auto it = actions_.find(selector);
    return it == actions_.end() ? nullptr : it->second;
}

QList<QAction*> ApplicationShell::actions() const { return actionOrder_; }

QMenuBar* ApplicationShell::createMenuBar(QWidget* window) {
    auto* bar = new QMenuBar(window);
    bar->setNativeMenuBar(false);
    QMenu* menu = nullptr;
    QString current;
    for (QAction* action : actionOrder_) {
        const QString title = action->property("menu").toString();
        if (title != current) {
            menu = bar->addMenu(title);
            current = title;
        } else if (action->objectName() == QLatin1String(kTerminate) ||
                   action->objectName() == QLatin1String("exportAsJPEG:") ||
                   action->objectName() == QLatin1String("zoomIn:")) {
            menu->addSeparator();
        }
        menu->addAction(action);
    }
    // Shortcuts of a window follow the actions added to it.
    if (window) window->addActions(actionOrder_);
    updateMenus();
    return bar;
}

void ApplicationShell::installMenuBar(QMainWindow* window) {
    window->setMenuBar(createMenuBar(window));
}

namespace {

// Quit and About always; the rest while the controller's menus are active.
bool menusAllow(const QString& selector) {
    if (selector == QLatin1String(kTerminate) || selector == QLatin1String(kAbout)) return true;
    return DocumentController::sharedDocumentController().menusActive();
}

}  // namespace

bool ApplicationShell::validateUserInterfaceItem(const QAction* item) {
    if (!qrTextLoaded_) loadQuickReference();
    const QString selector = item ? item->objectName() : QString();
    if (!menusAllow(selector)) return false;
    // An item no window of the moment implements would do nothing.
    return responderFor(selector) ||
           (selector == QLatin1String("performClose:") && QApplication::activeWindow());
}

void ApplicationShell::updateMenus() {
    for (QAction* action : actionOrder_) action->setEnabled(validateUserInterfaceItem(action));
}

bool ApplicationShell::sendAction(const QString& selector) {
    if (action(selector) && !menusAllow(selector))
        return true;  // disabled: swallowed, as a disabled menu item would
    if (QObject* responder = responderFor(selector)) return invoke(responder, selector);
    if (selector == QLatin1String("performClose:")) {
        QWidget* window = QApplication::activeWindow();
        if (!window) return false;
        window->close();
        return true;
    }
    return false;
}

QObject* ApplicationShell::responderFor(const QString& selector) {
    for (QWidget* widget = QApplication::focusWidget(); widget; widget = widget->parentWidget())
        if (implements(widget, selector)) return widget;
    if (implements(QApplication::activeWindow(), selector)) return QApplication::activeWindow();
    return implements(this, selector) ? this : nullptr;
}

void ApplicationShell::openFiles(const QStringList& paths) {
    for (const QString& path : paths) openDocumentWithPath(path);
}

void ApplicationShell::openDocumentWithPath(const QString& path) {
    QPointer<ApplicationShell> self(this);
    DocumentController::sharedDocumentController().openDocumentWithContentsOfURL(
        QFileInfo(path).absoluteFilePath().toStdString(), true,
        [self, path](const MyDocument::Ptr& document, bool, const std::optional<Error>& error) {
            if (!self) return;
            if (error || !document) {
                // The name first: the reason alone ("directory read operation.")
                // does not say which file it is about.
                Alert alert = AlertPresenter::alertForError(
                    error.value_or(Error{QuorvexErrorDomain, -1, "The file cannot be opened."}));
                alert.informativeText = alert.messageText;
                alert.messageText =
                    QStringLiteral("“%1” could not be opened.").arg(QFileInfo(path).fileName());
                // Not on the Open panel, which closes and takes its children along.
                QWidget* over = QApplication::activeWindow();
                if (qobject_cast<QFileDialog*>(over))
                    over = over->parentWidget() ? over->parentWidget()->window() : nullptr;
                AlertPresenter::current().present(alert, over, nullptr);
                return;
            }
            if (self->windowFactory_)
                self->windowFactory_(document);
            else
                platform::log("%s no document window for %s", "ApplicationShell",
                              document->displayName().c_str());
        });
}

PreferencesController& ApplicationShell::preferences() {
    if (!preferences_) preferences_ = new PreferencesController;
    return *preferences_;
}

PresetWindowController& ApplicationShell::presets() {
    if (!presets_) presets_ = new PresetWindowController;
    return *presets_;
}

ProfileController& ApplicationShell::profiles() {
    if (!profiles_) profiles_ = new ProfileController;
    return *profiles_;
}

QTextBrowser* ApplicationShell::newTextWindow(const QString& objectName, const QString& title,
                                              QSize size) {
    auto* window = new QMainWindow;
    window->setObjectName(objectName);
    window->setWindowTitle(title);
    window->setAttribute(Qt::WA_QuitOnClose, false);
    auto* text = new QTextBrowser;
    text->setOpenExternalLinks(true);
    window->setCentralWidget(text);
    installMenuBar(window);
    window->resize(size);
    return text;
}

void ApplicationShell::loadQuickReference() {
    qrTextLoaded_ = true;
    if (!qrView_)
        qrView_ = newTextWindow(QStringLiteral("QuickReference"),
                                QStringLiteral("Quorvex Quick Reference"), QSize(560, 640));
    QFile file(QStringLiteral(":/QuickReference.html"));
    if (file.open(QIODevice::ReadOnly))
        qrView_->setHtml(QString::fromUtf8(file.readAll()));
    else
        platform::log("%s QuickReference is missing", "ApplicationShell");
}

void ApplicationShell::documentDidChange() {
    auto& controller = DocumentController::sharedDocumentController();
    const MyDocument::Ptr document = currentDocument_ ? currentDocument_() : nullptr;
    if (document) controller.setLastDocumentShown(document);
    if (inspector_.exists && inspector_.exists() && inspector_.setData)
        inspector_.setData(document ? document->valueForKey(SettingsKeys::kMetaData) : Value());
}

void ApplicationShell::newImageMetadata(const Notification& notification) {
    const MyDocument::Ptr document = currentDocument_ ? currentDocument_() : nullptr;
    if (!sameObject(notification.object, document)) return;
    if (!inspector_.exists || !inspector_.exists() || !inspector_.setData) return;
    const MyDocument::Ptr shown =
        DocumentController::sharedDocumentController().lastDocumentShown();
    if (shown) inspector_.setData(shown->valueForKey(SettingsKeys::kMetaData));
}

void ApplicationShell::orderFrontStandardAboutPanel() {
    auto* box = new QMessageBox(
        QMessageBox::NoIcon, QStringLiteral("About Quorvex"),
        QStringLiteral("<b>%1</b><br>Version %2")
            .arg(QApplication::applicationDisplayName(), QApplication::applicationVersion()),
        QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setIconPixmap(SplashScreenPanel::applicationIcon(64));
    box->setInformativeText(SplashScreenPanel::creditsHtml());
    box->open();
}

void ApplicationShell::showPreferences() { showOnScreen(&preferences()); }

void ApplicationShell::showBrowser() {
    if (browser_.showBrowser)
        browser_.showBrowser();
    else
        platform::log("%s no browser", "ApplicationShell");
}

void ApplicationShell::showInspector() {
    if (inspector_.show) inspector_.show();
    documentDidChange();
}

void ApplicationShell::showProfiles() { profiles().showBrowser(); }
void ApplicationShell::showPresets() { presets().showBrowser(); }

void ApplicationShell::showQuickReference() {
    if (!qrTextLoaded_) loadQuickReference();
    showOnScreen(qrView_->window());
}

QString ApplicationShell::supportSiteAddress() {
    return QStringLiteral("https://quorvex.example.org/support/");
}
QString ApplicationShell::productSiteAddress() {
    return QStringLiteral("https://quorvex.example.org/");
}
QString ApplicationShell::supportMailAddress() {
    return QStringLiteral("support@quorvex.example.org");
}
QString ApplicationShell::supportMailSubject() { return QStringLiteral("Quorvex support request"); }

QString ApplicationShell::contactURL() {
    const QString subject =
        QStringLiteral("SUBJECT=%1")
            .arg(QString::fromLatin1(QUrl::toPercentEncoding(supportMailSubject())));
    return QStringLiteral("mailto:%1?%2")
        .arg(QString::fromLatin1(QUrl::toPercentEncoding(supportMailAddress(), "@")), subject);
}

bool ApplicationShell::openAddress(const QString& address) {
    return QDesktopServices::openUrl(QUrl(address, QUrl::StrictMode));
}

// The user guide ships inside the program: Help works without a network or
// a web browser.
void ApplicationShell::showHelp() {
    if (!helpView_) {
        helpView_ = newTextWindow(QStringLiteral("UserGuide"), QStringLiteral("Quorvex Help"),
                                  QSize(680, 720));
        QFile file(QStringLiteral(":/USER-GUIDE.md"));
        if (file.open(QIODevice::ReadOnly))
            helpView_->setMarkdown(QString::fromUtf8(file.readAll()));
        else
            platform::log("%s UserGuide is missing", "ApplicationShell");
    }
    showOnScreen(helpView_->window());
}

void ApplicationShell::showWebSite() {
    if (!openAddress(productSiteAddress()))
        platform::log("Open of %s failed.", productSiteAddress().toUtf8().constData());
}

void ApplicationShell::showContactUs() {
    if (!openAddress(contactURL())) platform::log("Attempt to e-mail support failed.");
}

QStringList ApplicationShell::openPanelFilters() {
    // Raw files, and the TIFF and JPEG files an editor hands back.
    QStringList patterns;
    for (const std::string& extension : FSNodeInfo::rawExts())
        patterns << QStringLiteral("*.") + QString::fromStdString(extension);
    patterns << QStringLiteral("*.tif") << QStringLiteral("*.tiff") << QStringLiteral("*.jpg")
             << QStringLiteral("*.jpeg");
    return {QStringLiteral("Images Quorvex opens (%1)").arg(patterns.join(QLatin1Char(' '))),
            QStringLiteral("All Files (*)")};
}

QString ApplicationShell::openPanelFolder() const {
    if (browser_.shownFolder)
        if (const auto shown = browser_.shownFolder()) return *shown;
    if (!lastOpenFolder_.isEmpty() && QFileInfo(lastOpenFolder_).isDir()) return lastOpenFolder_;
    return QDir::homePath();
}

void ApplicationShell::openDocument() {
    // Of no window: one that closes meanwhile (a close waiting for its save)
    // would take the panel along while the person is still choosing.
    auto* panel = new OpenPanel(nullptr);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setOption(QFileDialog::DontUseNativeDialog);
    panel->setFileMode(QFileDialog::ExistingFiles);
    panel->setAcceptMode(QFileDialog::AcceptOpen);
    panel->setNameFilters(openPanelFilters());
    panel->setDirectory(openPanelFolder());
    QPointer<ApplicationShell> self(this);
    connect(panel, &QFileDialog::filesSelected, this, [self](const QStringList& files) {
        if (!self) return;
        if (!files.isEmpty()) self->lastOpenFolder_ = QFileInfo(files.front()).absolutePath();
        self->openFiles(files);
    });
    panel->show();
}

void ApplicationShell::resetQuorvex() {
    Alert alert;
    alert.messageText = QStringLiteral("Warning: resetting can't be undone");
    alert.informativeText = QStringLiteral(
        "Resetting will delete the image catalog, losing all of your previous edits, and "
        "delete all existing presets.");
    alert.buttons = {QStringLiteral("Cancel"), QStringLiteral("Go ahead and reset")};
    alert.cancelButton = 0;
    AlertPresenter::current().present(alert, QApplication::activeWindow(), [](int button) {
        if (button != 1) return;
        std::vector<Error> errors;
        ApplicationDefaults::resetQuorvex(&errors);
        for (const Error& error : errors)
            AlertPresenter::presentError(error, QApplication::activeWindow());
    });
}

void ApplicationShell::terminate() { emit terminateRequested(); }

}  // namespace platform
