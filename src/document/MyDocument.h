// One opened raw image: its settings dictionary ("Quorvex_" keys), the
// defaults a single setting returns to, the processing engine, and, when it
// was opened from an external editor's JPEG or TIFF file, that file. It reads
// its file (finding the raw file again for an editor's file), takes the saved
// settings from the "Catalog" store or the "Default" preset, turns setting
// changes into engine invalidations, answers the engine's callbacks and, when
// it was shown, writes its settings back to the catalog on close. Its export
// lives in DocumentExport.cpp.
//
// Ownership: the document owns its engine (shared: an export keeps its own
// reference for as long as it runs), its settings and defaults. Window
// controllers are held weakly; the engine holds the document weakly as its
// delegate.
//
// Threads: every method may be called from any thread; the settings, defaults
// and engine pointer are guarded by one mutex, never held while observers,
// the engine or window controllers are called. Engine callbacks arrive on the
// engine's queue and are handed on to the main queue, where the first-run
// white balance and the notifications happen. exportLock() serialises the
// export's full-size render and the pixel readout.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "color/ColorHelper.h"
#include "engine/ThreadedImageEngine.h"
#include "engine/ThreadedImageEngineDelegate.h"
#include "platform/BitmapGeometry.h"
#include "platform/Error.h"
#include "platform/OutputFile.h"
#include "platform/Value.h"

// What the document needs of a window that shows it.
class MyDocumentWindowController {
public:
    virtual ~MyDocumentWindowController() = default;
    // The visible area in image pixels (origin top left).
    virtual platform::Rect activeTiledRect() const = 0;
    virtual void setTempAndTint(float temperature, float tint) = 0;
    virtual void setSceneReferred(bool sceneReferred) = 0;
    virtual void performClose() = 0;
};

class MyDocument : public ThreadedImageEngineDelegate,
                   public std::enable_shared_from_this<MyDocument> {
public:
    using Ptr = std::shared_ptr<MyDocument>;
    using SettingsObserver = std::function<void(const std::string& key, const platform::Value&)>;

    // Notification names the document posts.
    static constexpr const char* kEngineDidStartNotification = "TARNWisp_EngineDidStart";
    static constexpr const char* kNewProcessedImageNotification = "TARNWisp_NewProcessedImage";
    static constexpr const char* kUpdatedImageNotification = "TARNWisp_UpdatedImage";
    static constexpr const char* kCatalogStoreName = "Catalog";
    static constexpr const char* kDefaultPresetName = "Default";

    // The settings keys the document itself watches: a change marks the engine.
    static const std::vector<std::string>& observedSettingsKeys();
    // The defaults table (profiles are fresh automatic profiles).
    static platform::Dictionary defaultSettings();
    // "Quorvex V<version>": the application's name and version.
    static std::string applicationNameAndVersion();

    static Ptr init();
    ~MyDocument() override;
    MyDocument(const MyDocument&) = delete;
    MyDocument& operator=(const MyDocument&) = delete;

    // Opens a file ("file://" URLs and plain paths). False with an error in
    // "QuorvexErrorDomain"; then no engine exists.
    bool readFromURL(const std::string& url, platform::Error* error);

    // A window showing the document: starts the watch of the observed keys.
    void addWindowController(const std::shared_ptr<MyDocumentWindowController>& controller);
    void removeWindowController(const std::shared_ptr<MyDocumentWindowController>& controller);

    // Key routing: "Quorvex_" and "TARNWisp_" keys live in the settings;
    // "Quorvex_metaData..." answers the source's metadata (read-only). A null
    // value reads as null; writing null stores the null marker (logged).
    platform::Value valueForKey(const std::string& key) const;
    void setValueForKey(const platform::Value& value, const std::string& key);
    // Observers of one settings key, called after every store of that key.
    uint64_t addObserver(const std::string& key, SettingsObserver observer);
    void removeObserver(uint64_t token);

    platform::Dictionary getSettingsDictionary() const;
    platform::Dictionary imageDefaults() const;
    std::optional<platform::Dictionary> getCameraParameters() const;
    // Merges a preset (or a catalog entry). On a picture that is already
    // rendered (our own DNG export) a preset's scene-referred tone and
    // sharpening are not applied again: they are held off.
    void addSettingValues(const std::optional<platform::Dictionary>& values);
    void setToDefault(const std::string& key);
    void markAdjustedImageDirty(const std::vector<std::string>& keys);
    void documentIsForDisplay(bool forDisplay);

    // White balance.
    void setWBFromColor(ColorHelper& color);
    std::optional<ColorHelper> wbFromMetaData() const;
    void setWBToAsShotFromImageParameters();
    void setWBAsShot();
    void setWBFromPoint(platform::Point point);
    void setSceneReferred(bool sceneReferred);

    // Crop (image pixels, origin top left) and orientation.
    void cropRectChanged(const platform::Rect& rect);
    platform::Rect getCropRect() const;
    void orientationChanged(int orientation);
    int getOrientation() const;

    std::string pixelValueString(platform::Point point);
    // The same without waiting: nothing while an export holds the lock (the
    // window keeps its text and asks again on its next tick).
    std::optional<std::string> tryPixelValueString(platform::Point point);

    ThreadedImageEngine::Ptr displayEngine() const;
    std::shared_ptr<RawCombineTiledEngine> originalImage() const;
    TiledEngine::Ptr outputImage() const;
    TiledEngine::Ptr adjustedImage() const { return outputImage(); }

    bool openedFromExternal() const;
    std::optional<std::filesystem::path> extEditorURL() const;
    // The raw file read (empty before a read), and its last path component.
    std::filesystem::path fileURL() const;
    std::string displayName() const;

    // Documents have no data form: always fails (status domain, code -4).
    bool dataOfType(platform::Error* error) const;
    bool windowShouldClose() const { return true; }

    // Writes the catalog entry when the document was shown (also while an
    // export runs) and its settings changed since they were last saved,
    // unless the user discarded them; then lets the engine go.
    void close();
    bool isClosed() const { return closed_; }
    // Writes the catalog entry now, as close() will, when the document was
    // shown (a batch export of the same file then starts from these settings).
    // False with the error (the catalog's folder and the reason) when it
    // cannot be written: the settings stay in the document.
    bool saveSettingsToCatalog(platform::Error* error = nullptr);
    // Keeps the settings not yet in the catalog in the pending edits (see
    // PendingEdits), for a program that must end before the catalog can be
    // written; nothing to keep succeeds.
    bool keepSettingsPending(platform::Error* error = nullptr);
    // The user chose to close without saving the settings.
    void discardSettingsOnClose() { discardSettings_ = true; }

    // Renders the cropped image at full size and writes it as `type`
    // ("public.jpeg", "public.tiff", "public.dng", "com.ilm.openexr-image").
    // See DocumentExport.cpp.
    // The file is written beside `url` and put in place at the end: this
    // form replaces a file at `url` (the user chose it, or it is the
    // external editor's file written back) but never the raw file read.
    bool exportToURL(const std::filesystem::path& url, const std::string& type,
                     const platform::Rect& cropRect, bool canReleaseImages, platform::Error* error);
    // The same, putting the file in place by `policy`; `written` receives
    // the name it got.
    bool exportToURL(const std::filesystem::path& url, const std::string& type,
                     const platform::Rect& cropRect, bool canReleaseImages,
                     const platform::OutputFile::Policy& policy, std::filesystem::path* written,
                     platform::Error* error);
    std::mutex& exportLock() { return exportLock_; }

    // ThreadedImageEngineDelegate.
    void CIImageEngineDidStart(ThreadedImageEngine& engine) override;
    void CIImageEngineNewMetaData(ThreadedImageEngine& engine) override;
    void CIImageEngineDidFinish(ThreadedImageEngine& engine) override;
    void CIImageEngineDidUpdateActiveArea(ThreadedImageEngine& engine) override;

    bool logThisObject() const { return false; }

private:
    MyDocument();

    // Stores through the dictionary's own key routing: observers of the key
    // are told, and the observed keys mark the engine when watched.
    void storeSetting(const std::string& key, const platform::Value& value);
    void removeSetting(const std::string& key);
    bool findRawFile(const std::filesystem::path& editedFile, std::filesystem::path* rawFile,
                     platform::Error* error);
    std::vector<std::shared_ptr<MyDocumentWindowController>> windowControllers() const;
    platform::Rect activeArea() const;
    // The work of the callbacks, on the main queue.
    void engineDidFinishOnMain();
    void newMetaDataOnMain();
    void postNotification(const char* name);
    bool writeCatalogEntry(const platform::Dictionary& settings, platform::Error* error);
    bool keepPending(const platform::Dictionary& settings, platform::Error* error);
    void mergeSettings(const std::optional<platform::Dictionary>& values, bool preset);

    mutable std::mutex mutex_;  // guards everything below but the atomics
    ThreadedImageEngine::Ptr displayEngine_;
    platform::Dictionary imageParameters_;
    platform::Dictionary imageDefaults_;
    std::optional<std::filesystem::path> secureBookmark_;
    std::optional<std::map<std::string, int>> extArray_;
    std::optional<std::filesystem::path> extEditorURL_;
    std::filesystem::path fileURL_;
    std::string displayName_;
    std::vector<std::weak_ptr<MyDocumentWindowController>> windowControllers_;
    std::optional<platform::Dictionary> savedSettings_;  // as last written to the catalog
    // The save mark of the catalog entry the settings started from, or of
    // their last save.
    std::optional<double> catalogMark_;
    bool observingSettings_ = false;
    std::map<uint64_t, std::pair<std::string, SettingsObserver>> observers_;
    uint64_t nextObserverToken_ = 1;

    std::atomic<bool> shownForDisplay_{false};
    std::atomic<bool> closed_{false};
    std::atomic<bool> discardSettings_{false};
    std::atomic<bool> renderedSource_{false};
    std::mutex exportLock_;
};
