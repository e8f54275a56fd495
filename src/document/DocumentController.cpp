#include "document/DocumentController.h"

#include <algorithm>

#include "document/ApplicationDefaults.h"
#include "document/PhotoCDThumbnailProvider.h"
#include "document/RawThumbnailProvider.h"
#include "platform/NotificationCenter.h"

DocumentController& DocumentController::sharedDocumentController() {
    static DocumentController* shared = new DocumentController();
    return *shared;
}

DocumentController::DocumentController() {
    ApplicationDefaults::registerDefaults();
    PhotoCDThumbnailProvider::registerOnce();
    RawThumbnailProvider::registerOnce();
    auto& center = platform::NotificationCenter::defaultCenter();
    center.addObserver("TARNWisp_DisableMenus",
                       [this](const platform::Notification&) { disableMenus(); });
    center.addObserver("TARNWisp_EnableMenus",
                       [this](const platform::Notification&) { enableMenus(); });
}

MyDocument::Ptr DocumentController::makeDocumentForURL(const std::string& contentsURL,
                                                       platform::Error* error) {
    auto document = MyDocument::init();
    if (!document->readFromURL(contentsURL, error)) return nullptr;
    return document;
}

void DocumentController::addDocument(const MyDocument::Ptr& document) {
    if (!document) return;
    std::lock_guard lock(mutex_);
    if (std::find(documents_.begin(), documents_.end(), document) == documents_.end())
        documents_.push_back(document);
}

void DocumentController::removeDocument(const MyDocument::Ptr& document) {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        std::erase(documents_, document);
        if (lastDocumentShown_.lock() == document) lastDocumentShown_.reset();
        hook = documentRemovedHook_;
    }
    if (hook) hook();
}

void DocumentController::setDocumentRemovedHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    documentRemovedHook_ = std::move(hook);
}

std::vector<MyDocument::Ptr> DocumentController::documents() const {
    std::lock_guard lock(mutex_);
    return documents_;
}

MyDocument::Ptr DocumentController::documentForURL(const std::string& url) const {
    const std::filesystem::path wanted(url);
    std::lock_guard lock(mutex_);
    for (const auto& document : documents_) {
        if (document->fileURL() == wanted) return document;
        if (auto editor = document->extEditorURL(); editor && *editor == wanted) return document;
    }
    return nullptr;
}

void DocumentController::openDocumentWithContentsOfURL(const std::string& url, bool display,
                                                       const Completion& completion) {
    std::string path = url;
    if (path.rfind("file://", 0) == 0) path = path.substr(7);
    std::error_code ec;
    const std::string absolute = std::filesystem::absolute(path, ec).string();
    MyDocument::Ptr document = documentForURL(ec ? path : absolute);
    const bool alreadyOpen = document != nullptr;
    std::optional<platform::Error> failure;
    if (!document) {
        platform::Error error;
        document = makeDocumentForURL(url, &error);
        if (document)
            addDocument(document);
        else
            failure = error;
    }
    if (!completion) return;
    completion(document, alreadyOpen, failure);
    if (document && display) document->documentIsForDisplay(true);
}

void DocumentController::reopenDocumentForURL(const std::string& url,
                                              const std::string& contentsURL, bool display,
                                              const Completion& completion) {
    MyDocument::Ptr document = documentForURL(url);
    const bool alreadyOpen = document != nullptr;
    std::optional<platform::Error> failure;
    if (!document) {
        platform::Error error;
        document = makeDocumentForURL(contentsURL, &error);
        if (document) {
            addDocument(document);
            if (display) document->documentIsForDisplay(true);
        } else {
            failure = error;
        }
    }
    if (completion) completion(document, alreadyOpen, failure);
}

MyDocument::Ptr DocumentController::lastDocumentShown() const {
    std::lock_guard lock(mutex_);
    return lastDocumentShown_.lock();
}

void DocumentController::setLastDocumentShown(const MyDocument::Ptr& document) {
    std::lock_guard lock(mutex_);
    lastDocumentShown_ = document;
}
