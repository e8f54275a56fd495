// The window of a document: the tiled image view, a source list of the nine
// adjustment sections whose controls are bound to the document's settings
// keys, the pixel and zoom readout, a progress indicator, the histogram, and
// the export progress, new-preset and Photo CD resolution sheets. It follows
// the document's run notifications, drives zoom, rotation, crop and
// eyedropper, and exports on the shared work queue.
//
// Bindings: a control's object name is its settings key, possibly with digits
// at either end (parameterID trims them). An edit stores the value in the
// document; the document's observers bring every control of the key up to
// date on the main queue, with its signals blocked.
//
// The methods live in one file per concern: DocumentWindowController.cpp
// (life, notifications, readout) and its Layout, Bindings, Modes, Export and
// Sheets companions.
//
// Ownership: the controller is a child of its QMainWindow, which deletes
// itself when closed; closing closes the document (its catalog entry is
// written) and removes it from the document controller. The document reaches
// the window only through a DocumentWindowAdapter. GUI thread only.
#pragma once

#include <QMainWindow>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

#include "document/MyDocument.h"
#include "platform/Error.h"
#include "platform/NotificationCenter.h"
#include "ui/DocumentImageView.h"
#include "ui/QuorvexClickTextField.h"

class CIImageView;
class MessageBar;
class QAbstractSpinBox;
class QCheckBox;
class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QSplitter;
class QTreeWidgetItem;
class QuorvexOutlineView;
class DocumentWindowController;
class SettingsSave;
class SpinningProgressIndicator;
class DocumentWindowAdapter;
class ColorSyncProfileWrap;
class DNGCameraProfileAbstract;

// The QMainWindow of a document; menu actions reach the controller through
// its slots (the shell calls slots named after the actions).
class QuorvexDocumentWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit QuorvexDocumentWindow(DocumentWindowController* controller);
    void detach() { controller_ = nullptr; }

public slots:
    void zoomIn();
    void zoomOut();
    void zoomImageToActualSize();
    void zoomImageTo2();
    void zoomImageTo3();
    void zoomImageTo4();
    void zoomImageToFit();
    void rotateCW();
    void rotateCCW();
    void exportAsJPEG();
    void exportAsTIFF();
    void exportAsDNG();
    void exportAsEXR();
    void exportAsSelected();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    DocumentWindowController* controller_;
};

class DocumentWindowController : public QObject,
                                 public RizuDavazORAredOreDurirodIrivirar,
                                 public QuorvexClickTextFieldDelegate {
    Q_OBJECT
public:
    // One adjustable setting: its key, label and range in stored units; the
    // controls show the value times displayScale. A setting with a reason is
    // shown disabled, its reason as the tooltip, and keeps its stored value.
    struct SettingSpec {
        const char* key;
        const char* label;
        double minimum, maximum;
        double displayScale = 1;
        const char* inactiveReason = nullptr;
    };
    static const std::vector<std::pair<const char*, std::vector<SettingSpec>>>& sliderSections();

    // The window of the document, made and shown when missing.
    static DocumentWindowController* makeWindowForDocument(const MyDocument::Ptr& document);
    static DocumentWindowController* windowForDocument(const MyDocument* document);
    // Makes the shell open documents in these windows.
    static void installDocumentWindowFactory();
    // Called with the window's controller when the person keeps open a
    // window that was closing (Keep Open, in its bar or in the alert that its
    // edits were not saved).
    static void setKeptOpenHandler(std::function<void(DocumentWindowController*)> handler);
    // The session ends (a logout): every window closes now, a save still
    // waiting is stopped, and edits not in the catalog are kept in the
    // pending edits for the next start.
    static void endSessionNow();

    explicit DocumentWindowController(MyDocument::Ptr document);
    ~DocumentWindowController() override;

    QuorvexDocumentWindow* window() const { return window_; }
    MyDocument::Ptr document() const { return document_; }
    DocumentImageView* imageView() const { return mImageView; }
    CIImageView* histogramView() const { return histogramView_; }
    QLabel* pixelValues() const { return mPixelValues; }
    QuorvexOutlineView* sidebar() const { return sidebar_; }
    QSplitter* splitView() const { return splitView_; }
    MessageBar* messageBar() const { return messageBar_; }
    QDialog* progressSheet() const { return progressSheet_; }
    QDialog* newPresetSheet() const { return pWindow_; }
    QDialog* pcdResolutionSheet() const { return pcdResStatusWindow_; }
    QLabel* pcdCurrentResolution() const { return pcdCurrentResolution_; }
    QLabel* pcdResolutionDiagnostic() const { return pcdResoltionDiagnostic_; }
    QLineEdit* presetName() const { return presetName_; }
    QAbstractSpinBox* stepper() const { return stepper_; }
    const std::vector<QCheckBox*>& presetCheckBoxes() const { return checkBoxes_; }
    bool windowHasClosed() const { return windowHasClosed_; }
    bool engineRunning() const { return engineRunning_; }

    // Settings keys of controls.
    static QString parameterID(const QString& identifier);
    // The step of the arrow keys in a field spanning minimum..maximum.
    static double keyboardStep(double minimum, double maximum);
    // A control's value changed by the user.
    void setValueForControl(QObject* control, const platform::Value& value);
    void setToDefault(QObject* control);
    void labelDoubleClicked(QuorvexClickTextField* field) override;

    // Zoom.
    void zoomIn();
    void zoomOut();
    void zoomImageToActualSize() { mImageView->setPixelScaleFactor(1.0f); }
    void zoomImageTo2() { mImageView->setPixelScaleFactor(2.0f); }
    void zoomImageTo3() { mImageView->setPixelScaleFactor(3.0f); }
    void zoomImageTo4() { mImageView->setPixelScaleFactor(4.0f); }
    void zoomImageToFit() { mImageView->setScaleFactorToFit(); }
    void segmentedZoomSetClick(int tag);
    void segmentedZoomDeltaClick(int tag);
    static float zoomedIn(float scale);
    static float zoomedOut(float scale);
    // Zooming out stops at the smaller of the fit and 1/16.
    static float zoomedOut(float scale, float fitScale);

    // Rotation.
    static int rotatedOrientation(int stored, bool clockwise);
    void rotateCCW();
    void rotateCW();
    void segmentedControlClick(int tag);

    // White balance, crop, eyedropper.
    void setAsShot();
    void setFromEyeDropper();
    void setTempAndTint(float temperature, float tint);
    void setSceneReferred(bool sceneReferred);
    uint64_t cursorMode() const { return cursorMode_; }
    void setCursorMode(uint64_t mode);
    void cropRectChanged(const QRectF& rect) override;
    void setCropRect(const QRectF& rect);
    void resetCropArea();
    void eyedropperWasClicked(QWidget* view, QPointF point) override;

    // Export.
    void exportAsType(const QString& type);
    void exportAsSelected();
    // The confirmed half of an export: sheet, then the block on the shared
    // work queue. `crop` null: the document's crop.
    void exportToPath(const QString& path, const QString& type, std::optional<QRectF> crop);
    void extEditorUpdate();
    void showProgressSheet(const QString& fileName);
    void exportPresentError(const std::optional<platform::Error>& error);
    static QString extensionForType(const QString& type);

    // Photo CD and presets.
    static QString resStringForInt(int index);
    static int resolutionIndexForSize(double width, double height);
    static QString photoCDDiagnostic(int selected, int image, const platform::Value& ipeStatus,
                                     const std::optional<QString>& scannerProfile);
    void photoCDResolution();
    void showNewPresetWindow();
    // False while the sheet stays open: for an empty name, and for the name
    // of an existing preset until the user confirms replacing it (then the
    // preset is stored and the sheet closes).
    bool saveNewPreset();
    static const std::vector<std::pair<const char*, std::vector<const char*>>>& presetGroups();
    void applyPreset(int index);
    // The pop-up shows the preset last applied or saved, else the one the
    // document's settings came from, while the settings match it (else its
    // title).
    void selectCurrentPreset();
    // Whether the settings hold every value the preset sets (its name and
    // identifier aside).
    static bool presetMatches(const platform::Dictionary& preset,
                              const platform::Dictionary& settings);

    // Readout and progress (every 0.03 s).
    void pixelTick();

    // Notifications.
    void EngineDidStart();
    void NewProcessedImage();
    void UpdatedImage();
    void windowDidBecomeMain();
    // Whether the window may close: its settings are in the catalog, or the
    // user chose to let them go (asked when they cannot be saved). A save
    // that takes more than a moment goes on while the window answers.
    bool windowShouldClose();
    // The window closes (by the user, or the document after a failed decode).
    void windowWillClose();
    void performClose();
    // endSessionNow for this window.
    void endNow();
    void scrollViewBugFix();

private:
    void buildWindow();
    void buildSections();
    QWidget* makeSliderSection(const std::vector<SettingSpec>& specs);
    QWidget* makeProcessingOptions();
    QWidget* makePresets();
    QWidget* makeWhiteBalance();
    QWidget* makeExport();
    QWidget* makeAppIntegration();
    void addSettingRow(class QGridLayout* grid, int row, const SettingSpec& spec);
    QWidget* makeExposure();
    void addStepper(QWidget* section, const char* key);
    void rotateBy(bool clockwise);
    void profileListChanged();
    void bindKey(const std::string& key);
    void updateControls(const std::string& key, const platform::Value& value);
    void reloadPresetMenu();
    void reloadProfileMenus();
    void redisplay();
    void ensurePresetSheet();
    void ensurePCDSheet();
    void restoreFrame();
    void saveFrame();
    QRectF documentCropRect() const;
    void waitForClosingSave(const std::shared_ptr<SettingsSave>& save);
    void editsNotSaved(const platform::Error& error, const std::vector<std::string>& ranOutNotices);

    MyDocument::Ptr document_;
    std::shared_ptr<DocumentWindowAdapter> adapter_;
    QPointer<QuorvexDocumentWindow> window_;
    DocumentImageView* mImageView = nullptr;
    QLabel* mPixelValues = nullptr;
    QProgressBar* mProgress = nullptr;
    SpinningProgressIndicator* openProgress_ = nullptr;
    QSplitter* splitView_ = nullptr;
    QuorvexOutlineView* sidebar_ = nullptr;
    CIImageView* histogramView_ = nullptr;
    MessageBar* messageBar_ = nullptr;
    QComboBox* presetPopUp_ = nullptr;
    QComboBox* cameraProfilePopUp_ = nullptr;
    QComboBox* iccProfilePopUp_ = nullptr;
    class QToolButton* cropButton_ = nullptr;
    QAbstractSpinBox* stepper_ = nullptr;
    uint64_t profileListObserver_ = 0;
    std::vector<platform::Dictionary> presetMenu_;
    std::vector<std::shared_ptr<DNGCameraProfileAbstract>> cameraProfiles_;
    std::vector<std::shared_ptr<ColorSyncProfileWrap>> iccProfiles_;
    QDialog* progressSheet_ = nullptr;
    QLabel* progressText_ = nullptr;
    QProgressBar* progressBar_ = nullptr;
    QDialog* pWindow_ = nullptr;
    QLineEdit* presetName_ = nullptr;
    std::vector<QCheckBox*> checkBoxes_;
    QDialog* pcdResStatusWindow_ = nullptr;
    QLabel* pcdCurrentResolution_ = nullptr;
    QLabel* pcdResoltionDiagnostic_ = nullptr;
    class QTimer* pixelTimer_ = nullptr;
    QPointF pixelLocation_{-1, -1};
    float zoomFactor_ = -1;
    bool windowHasClosed_ = false;
    std::shared_ptr<SettingsSave> closingSave_;  // of a close under way
    bool engineRunning_ = false;
    bool imageFailureShown_ = false;
    int progressCounter_ = 0;
    uint64_t cursorMode_ = 0;
    std::optional<platform::Dictionary> currentPreset_;
    std::vector<platform::NotificationCenter::Token> notificationTokens_;
    std::vector<uint64_t> observerTokens_;
    std::vector<std::string> boundKeys_;
    QByteArray savedGeometryKey_;
};
