// The controller's life with its window: making and registering windows,
// the document's notifications, the readout timer and closing. Layout,
// bindings, view modes, export and the sheets live in
// DocumentWindowController<Concern>.cpp.
#include "ui/DocumentWindowController.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QSplitter>
#include <QTimer>
#include <map>
#include <optional>

#include "color/CameraProfileManager.h"
#include "document/DocumentController.h"
#include "document/DocumentExport.h"
#include "engine/QueueEngine.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"
#include "platform/UserWarning.h"
#include "ui/AlertPresenter.h"
#include "ui/ApplicationShell.h"
#include "ui/CIImageView.h"
#include "ui/DocumentWindowAdapter.h"
#include "ui/MessageBar.h"
#include "ui/QuorvexOutlineView.h"
#include "ui/SettingsSave.h"
#include "ui/SpinningProgressIndicator.h"
#include "ui/WindowPlacement.h"

namespace {

constexpr const char* kFrameKey = "QuorvexDocumentWindow";
// A close waits this long for its save before the window answers again.
constexpr std::chrono::milliseconds kCloseAtOnce{150};
// The choices of a close still waiting come with the notice of what it waits
// for, or after this when nothing was told.
constexpr std::chrono::milliseconds kOfferChoicesAfter{1000};

std::function<void(DocumentWindowController*)>& keptOpenHandler() {
    static auto* handler = new std::function<void(DocumentWindowController*)>;
    return *handler;
}

void keptOpen(DocumentWindowController* controller) {
    if (const auto handler = keptOpenHandler(); handler && controller) handler(controller);
}

std::map<const MyDocument*, QPointer<DocumentWindowController>>& registry() {
    static std::map<const MyDocument*, QPointer<DocumentWindowController>> windows;
    return windows;
}

}  // namespace

// ---------------------------------------------------------------- the QMainWindow

QuorvexDocumentWindow::QuorvexDocumentWindow(DocumentWindowController* controller)
    : controller_(controller) {
    setAttribute(Qt::WA_DeleteOnClose);
}

void QuorvexDocumentWindow::zoomIn() {
    if (controller_) controller_->zoomIn();
}
void QuorvexDocumentWindow::zoomOut() {
    if (controller_) controller_->zoomOut();
}
void QuorvexDocumentWindow::zoomImageToActualSize() {
    if (controller_) controller_->zoomImageToActualSize();
}
void QuorvexDocumentWindow::zoomImageTo2() {
    if (controller_) controller_->zoomImageTo2();
}
void QuorvexDocumentWindow::zoomImageTo3() {
    if (controller_) controller_->zoomImageTo3();
}
void QuorvexDocumentWindow::zoomImageTo4() {
    if (controller_) controller_->zoomImageTo4();
}
void QuorvexDocumentWindow::zoomImageToFit() {
    if (controller_) controller_->zoomImageToFit();
}
void QuorvexDocumentWindow::rotateCW() {
    if (controller_) controller_->rotateCW();
}
void QuorvexDocumentWindow::rotateCCW() {
    if (controller_) controller_->rotateCCW();
}
void QuorvexDocumentWindow::exportAsJPEG() {
    if (controller_) controller_->exportAsType(QString::fromLatin1(DocumentExport::kTypeJPEG));
}
void QuorvexDocumentWindow::exportAsTIFF() {
    if (controller_) controller_->exportAsType(QString::fromLatin1(DocumentExport::kTypeTIFF));
}
void QuorvexDocumentWindow::exportAsDNG() {
    if (controller_) controller_->exportAsType(QString::fromLatin1(DocumentExport::kTypeDNG));
}
void QuorvexDocumentWindow::exportAsEXR() {
    if (controller_) controller_->exportAsType(QString::fromLatin1(DocumentExport::kTypeEXR));
}
void QuorvexDocumentWindow::exportAsSelected() {
    if (controller_) controller_->exportAsSelected();
}

void QuorvexDocumentWindow::closeEvent(QCloseEvent* event) {
    if (controller_ && !controller_->windowShouldClose()) {
        event->ignore();
        return;
    }
    if (controller_) controller_->windowWillClose();
    QMainWindow::closeEvent(event);
}

void QuorvexDocumentWindow::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && controller_)
        controller_->windowDidBecomeMain();
    QMainWindow::changeEvent(event);
}

// ---------------------------------------------------------------- making windows

DocumentWindowController* DocumentWindowController::windowForDocument(const MyDocument* d) {
    auto it = registry().find(d);
    return it == registry().end() ? nullptr : it->second.data();
}

DocumentWindowController* DocumentWindowController::makeWindowForDocument(
    const MyDocument::Ptr& document) {
    if (!document) return nullptr;
    if (auto* existing = windowForDocument(document.get())) {
        existing->window()->show();
        existing->window()->raise();
        existing->window()->activateWindow();
        return existing;
    }
    auto* controller = new DocumentWindowController(document);
    platform::placeOnScreen(controller->window(), QApplication::activeWindow());
    // Files opened together would otherwise stack exactly on one another.
    std::vector<const QWidget*> others;
    for (const auto& [doc, other] : registry())
        if (other && other != controller && other->window()) others.push_back(other->window());
    platform::cascadeOnScreen(controller->window(), others);
    controller->window()->show();
    return controller;
}

void DocumentWindowController::setKeptOpenHandler(
    std::function<void(DocumentWindowController*)> handler) {
    keptOpenHandler() = std::move(handler);
}

void DocumentWindowController::endSessionNow() {
    std::vector<QPointer<DocumentWindowController>> open;
    for (const auto& [document, controller] : registry()) open.push_back(controller);
    for (const auto& controller : open)
        if (controller) controller->endNow();
}

void DocumentWindowController::endNow() {
    if (windowHasClosed_ || !window_) return;
    if (const auto save = std::exchange(closingSave_, nullptr)) {
        save->stop();
        messageBar_->withdrawQuestion();
    }
    platform::Error error;
    if (!document_->keepSettingsPending(&error))
        platform::log("The edits of %s are lost: they cannot be kept for the catalog (%s)",
                      document_->displayName().c_str(), error.description().c_str());
    // Kept, or beyond keeping: the close must not wait for the catalog.
    document_->discardSettingsOnClose();
    window_->close();
}

void DocumentWindowController::installDocumentWindowFactory() {
    auto& shell = platform::ApplicationShell::shared();
    shell.setDocumentWindowFactory(
        [](const MyDocument::Ptr& document) { makeWindowForDocument(document); });
    shell.setCurrentDocumentProvider([]() -> MyDocument::Ptr {
        return DocumentController::sharedDocumentController().lastDocumentShown();
    });
}

DocumentWindowController::DocumentWindowController(MyDocument::Ptr document)
    : document_(std::move(document)) {
    window_ = new QuorvexDocumentWindow(this);
    setParent(window_);
    registry()[document_.get()] = this;
    buildWindow();

    auto& center = platform::NotificationCenter::defaultCenter();
    QPointer<DocumentWindowController> self(this);
    const void* object = document_.get();
    auto main = platform::DispatchQueue::main();
    // Every window leaves the running state at a finished run, whoever's.
    notificationTokens_.push_back(center.addObserver(
        MyDocument::kNewProcessedImageNotification,
        [self, object](const platform::Notification& n) {
            if (!self) return;
            self->engineRunning_ = false;
            if (n.object.get() == object) self->NewProcessedImage();
        },
        nullptr, main));
    notificationTokens_.push_back(center.addObserver(
        MyDocument::kUpdatedImageNotification,
        [self](const platform::Notification&) {
            if (self) self->UpdatedImage();
        },
        object, main));
    notificationTokens_.push_back(center.addObserver(
        MyDocument::kEngineDidStartNotification,
        [self](const platform::Notification&) {
            if (self) self->EngineDidStart();
        },
        object, main));
    notificationTokens_.push_back(center.addObserver(
        "TARNWisp_PresetsChanged",
        [self](const platform::Notification&) {
            if (self) self->reloadPresetMenu();
        },
        nullptr, main));

    // Profiles imported or removed elsewhere (the profile window) show here.
    profileListObserver_ =
        CameraProfileManager::sharedCameraProfileManager().addProfileListObserver(
            [self, main](bool prior) {
                if (prior) return;
                main->async([self] {
                    if (self) self->profileListChanged();
                });
            });

    adapter_ = std::make_shared<DocumentWindowAdapter>(this, mImageView->sharedActiveTiledRect());
    document_->addWindowController(adapter_);

    // The readout and progress timer.
    pixelTimer_ = new QTimer(this);
    pixelTimer_->setInterval(30);
    connect(pixelTimer_, &QTimer::timeout, this, &DocumentWindowController::pixelTick);
    pixelTimer_->start();
    mPixelValues->setText(QStringLiteral("-"));
    setCropRect(documentCropRect());
    for (int ms : {100, 500, 1000, 5000})
        QTimer::singleShot(ms, this, &DocumentWindowController::scrollViewBugFix);
}

void DocumentWindowController::scrollViewBugFix() {
    // Lays the split view and the source list out again.
    if (!window_ || windowHasClosed_) return;
    splitView_->refresh();
    sidebar_->doItemsLayout();
}

DocumentWindowController::~DocumentWindowController() {
    auto& center = platform::NotificationCenter::defaultCenter();
    for (auto token : notificationTokens_) center.removeObserver(token);
    CameraProfileManager::sharedCameraProfileManager().removeProfileListObserver(
        profileListObserver_);
    if (document_)
        for (auto token : observerTokens_) document_->removeObserver(token);
    auto it = registry().find(document_.get());
    if (it != registry().end() && (it->second == this || it->second.isNull())) registry().erase(it);
}

void DocumentWindowController::restoreFrame() {
    const auto frame = platform::UserDefaults::standard().dataForKey(kFrameKey);
    if (!frame.empty())
        window_->restoreGeometry(
            QByteArray(reinterpret_cast<const char*>(frame.data()), qsizetype(frame.size())));
}

void DocumentWindowController::saveFrame() {
    const QByteArray frame = window_->saveGeometry();
    platform::UserDefaults::standard().setData(platform::Value::Data(frame.begin(), frame.end()),
                                               kFrameKey);
}

// ---------------------------------------------------------------- readout

void DocumentWindowController::pixelTick() {
    if (windowHasClosed_) return;
    if (mImageView->getDrawInProgress() || engineRunning_) {
        if (progressCounter_ == 0 || progressCounter_ < 0) mProgress->show();
        progressCounter_ = 15;
    } else if (progressCounter_ == 0) {
        mProgress->hide();
        progressCounter_ = -1;
    } else if (progressCounter_ > 0) {
        --progressCounter_;
    }

    std::optional<QString> text;
    const QPointF location = mImageView->getPixelUnrotatedLocation();
    if (location != pixelLocation_) {
        if (location.x() >= 0) {
            // An export holds the document's lock for its whole render: keep
            // the text and ask again on the next tick rather than wait.
            if (auto value =
                    document_->tryPixelValueString(platform::Point{location.x(), location.y()})) {
                pixelLocation_ = location;
                text = QString::fromStdString(*value);
                zoomFactor_ = -1;
            }
        } else {
            pixelLocation_ = location;
        }
    }
    const float scale = mImageView->pixelScaleFactor();
    if (pixelLocation_.x() < 0 && scale > 0.01f && scale != zoomFactor_) {
        zoomFactor_ = scale;
        text = QString::asprintf("Zoom: %0.0f%%", double(scale) * 100.0);
    }
    if (text) mPixelValues->setText(*text);
}

// ---------------------------------------------------------------- notifications

void DocumentWindowController::EngineDidStart() {
    mProgress->show();
    progressCounter_ = 15;
    engineRunning_ = true;
}

void DocumentWindowController::redisplay() {
    pixelLocation_ = QPointF(-1, -1);
    if (windowHasClosed_) return;
    mImageView->show();
    mImageView->setImage(document_->outputImage(), document_->getOrientation(), 0);
}

void DocumentWindowController::NewProcessedImage() {
    engineRunning_ = false;
    pixelLocation_ = QPointF(-1, -1);
    if (windowHasClosed_) return;
    if (openProgress_->isAnimating() || openProgress_->isVisible()) {
        openProgress_->actuallyStopAnimation();
        openProgress_->hide();
        mImageView->show();
        if (auto* layout = mImageView->parentWidget()->layout()) layout->activate();
    }
    if (!mImageView->setImage(document_->outputImage(), document_->getOrientation(), 0)) {
        if (!imageFailureShown_) {
            imageFailureShown_ = true;
            platform::Alert alert;
            alert.messageText = QStringLiteral("Fatal error");
            alert.informativeText = QStringLiteral(
                "Quorvex was not able to allocate sufficient graphics memory to display the "
                "image.");
            alert.buttons = {QStringLiteral("Ok")};
            alert.critical = true;
            platform::AlertPresenter::current().present(alert, window_, nullptr);
        }
    } else {
        imageFailureShown_ = false;
    }
    // The thumbnail is rendered by the engine: off the GUI thread.
    auto stage = document_->outputImage();
    if (!stage) return;
    QPointer<CIImageView> histogram(histogramView_);
    QueueEngine::sharedQueueEngine().sharedQueue()->async([stage, histogram] {
        auto thumbnail = stage->getThumbnail(true);
        if (!thumbnail) return;
        platform::DispatchQueue::main()->async([histogram, thumbnail] {
            if (histogram) histogram->setImage(thumbnail);
        });
    });
}

void DocumentWindowController::UpdatedImage() { redisplay(); }

void DocumentWindowController::windowDidBecomeMain() {
    DocumentController::sharedDocumentController().setLastDocumentShown(document_);
    platform::NotificationCenter::defaultCenter().post(
        "TARNWisp_DocumentChange", std::shared_ptr<void>(std::shared_ptr<void>(), this));
}

bool DocumentWindowController::windowShouldClose() {
    if (windowHasClosed_) return true;
    // A close under way waits for its save; the bar offers the choices.
    if (closingSave_) return false;
    const SettingsSave::Ptr save = SettingsSave::start(document_);
    // Most saves take a moment, too short to show anything.
    if (save->waitFor(kCloseAtOnce)) {
        if (save->saved()) return true;
        editsNotSaved(save->error(), save->ranOutNotices());
        return false;
    }
    closingSave_ = save;
    waitForClosingSave(save);
    return false;
}

// The window answers as usual while the save waits: nothing is held to be
// handed on later, where it could reach a control shown meanwhile. The
// choices come with the notice of what the save waits for; left alone, the
// window closes once the save is done, with what was changed meanwhile.
void DocumentWindowController::waitForClosingSave(const SettingsSave::Ptr& save) {
    QPointer<QuorvexDocumentWindow> window(window_);
    auto asked = std::make_shared<bool>(false);
    // What this window was told it waits for: it leaves this bar once the
    // wait is over here, whoever else still waits for the same.
    auto told = std::make_shared<QString>();
    const auto offerChoices = [this, window, save, asked, told](const std::string& notice) {
        if (!window || closingSave_ != save || std::exchange(*asked, true)) return;
        // One change to the window, not two that move its controls in turn.
        if (!notice.empty()) messageBar_->postHere(*told = QString::fromStdString(notice));
        messageBar_->ask(
            tr("The edits of this photo are not saved yet: the window closes once they are. "
               "You may also keep it open with its edits, or close it without saving them."),
            {tr("Keep Open"), tr("Close Without Saving")}, [this, window, save, told](int button) {
                if (!window || closingSave_ != save) return;
                save->stop();
                closingSave_.reset();
                messageBar_->removeMessage(*told);
                if (button != 1) return keptOpen(this);
                document_->discardSettingsOnClose();
                window->close();
            });
    };
    save->whenWaitTold(offerChoices);
    // A save slow for another reason than a lock is told too.
    QTimer::singleShot(kOfferChoicesAfter, this, [offerChoices] { offerChoices({}); });
    save->whenDone([this, window, save, told] {
        if (!window || closingSave_ != save) return;
        closingSave_.reset();
        messageBar_->withdrawQuestion();
        messageBar_->removeMessage(*told);
        if (save->saved())
            window->close();
        else
            editsNotSaved(save->error(), save->ranOutNotices());
    });
}

void DocumentWindowController::editsNotSaved(const platform::Error& error,
                                             const std::vector<std::string>& ranOutNotices) {
    // The edits stay in the window until they are saved or the user lets
    // them go.
    platform::Alert alert;
    alert.messageText = tr("The edits of this photo could not be saved.");
    alert.informativeText =
        QString::fromStdString(error.failureReason) +
        tr(" They stay in this window: close it again to try once more, or close it without "
           "saving them.");
    alert.buttons = {tr("Keep Open"), tr("Close Without Saving")};
    alert.cancelButton = 0;
    alert.critical = true;
    QPointer<QuorvexDocumentWindow> window(window_);
    QPointer<DocumentWindowController> self(this);
    MyDocument::Ptr document = document_;
    platform::AlertPresenter::current().present(
        alert, window_, [window, self, document, ranOutNotices](int button) {
            // The word that the wait ran out was answered here.
            for (const std::string& notice : ranOutNotices) platform::withdrawUserWarning(notice);
            if (button != 1) return keptOpen(self.data());
            document->discardSettingsOnClose();
            // After the close under way has been refused.
            if (window) QMetaObject::invokeMethod(window, &QWidget::close, Qt::QueuedConnection);
        });
}

void DocumentWindowController::windowWillClose() {
    if (windowHasClosed_) return;
    windowHasClosed_ = true;
    mImageView->setEyeDropperDelegate(nullptr);
    mImageView->setCursorTrackingMode(0);
    openProgress_->actuallyStopAnimation();
    openProgress_->hide();
    pixelTimer_->stop();
    mImageView->doneWithView();
    saveFrame();
    window_->detach();
    // The document goes with its window; its edits are in the catalog.
    MyDocument::Ptr document = document_;
    document->removeWindowController(adapter_);
    document->close();
    DocumentController::sharedDocumentController().removeDocument(document);
    registry().erase(document.get());
}

void DocumentWindowController::performClose() {
    if (windowHasClosed_ || !window_) return;
    // A decode failure closes the window: say why first.
    if (auto engine = document_->displayEngine())
        if (auto wrapper = engine->rawFileWrapper())
            if (auto error = wrapper->error())
                platform::AlertPresenter::presentError(*error, nullptr);
    window_->close();
}
