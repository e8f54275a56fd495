// DocumentController (the file keeps the role's name; the class is all it
// holds): the shared document controller without its windows. It registers
// the user defaults when it is made, keeps the list of open documents, makes
// and opens documents, tells a displayed document to show itself, and follows
// the batch export's menu notifications.
//
// Ownership: the controller (a process-wide singleton, never freed) holds the
// open documents until they are removed. Thread safety: every method may be
// called from any thread (the batch export makes documents on its own
// thread); the list is guarded by a mutex never held while a document works.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "document/MyDocument.h"
#include "platform/Error.h"

class DocumentController {
public:
    using Completion = std::function<void(const MyDocument::Ptr& document, bool alreadyOpen,
                                          const std::optional<platform::Error>& error)>;

    static DocumentController& sharedDocumentController();
    DocumentController(const DocumentController&) = delete;
    DocumentController& operator=(const DocumentController&) = delete;

    // A new document that has read `contentsURL` (its type is found from the
    // contents); null with the error when the read failed (no engine is made
    // then).
    MyDocument::Ptr makeDocumentForURL(const std::string& contentsURL, platform::Error* error);
    void addDocument(const MyDocument::Ptr& document);
    void removeDocument(const MyDocument::Ptr& document);
    std::vector<MyDocument::Ptr> documents() const;
    // The open document of that raw file (or editor's file), or null.
    MyDocument::Ptr documentForURL(const std::string& url) const;

    // Opens (or finds) the document and calls the completion; with a
    // completion and `display` the document is then shown (documentIsForDisplay
    // YES). The windows themselves are the window layer's.
    void openDocumentWithContentsOfURL(const std::string& url, bool display,
                                       const Completion& completion);
    // Finds the document of `url` or reads a new one from `contentsURL`; with
    // `display` a new document is shown before the completion runs.
    void reopenDocumentForURL(const std::string& url, const std::string& contentsURL, bool display,
                              const Completion& completion);

    // Called after each removal, on the removing thread, outside the lock
    // (the browser rebuilds its menus from it).
    void setDocumentRemovedHook(std::function<void()> hook);

    bool applicationShouldOpenUntitledFile() const { return false; }
    bool menusActive() const { return menusActive_; }
    void disableMenus() { menusActive_ = false; }
    void enableMenus() { menusActive_ = true; }
    MyDocument::Ptr lastDocumentShown() const;
    void setLastDocumentShown(const MyDocument::Ptr& document);
    bool logThisObject() const { return false; }

private:
    DocumentController();

    mutable std::mutex mutex_;  // guards documents_, lastDocumentShown_ and the hook
    std::vector<MyDocument::Ptr> documents_;
    std::weak_ptr<MyDocument> lastDocumentShown_;
    std::atomic<bool> menusActive_{true};
    std::function<void()> documentRemovedHook_;  // guarded by mutex_
};
