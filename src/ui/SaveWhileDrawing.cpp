#include "ui/SaveWhileDrawing.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

bool saveSettingsWhileDrawing(const MyDocument::Ptr& document, platform::Error& error) {
    struct Save {
        std::mutex mutex;
        std::condition_variable done;
        std::optional<bool> saved;
        platform::Error error;
    };
    auto save = std::make_shared<Save>();
    const auto finished = [&save] { return save->saved.has_value(); };
    std::thread saver;
    try {
        saver = std::thread([save, document] {
            platform::Error why;
            const bool saved = document->saveSettingsToCatalog(&why);
            std::lock_guard lock(save->mutex);
            save->saved = saved;
            save->error = std::move(why);
            save->done.notify_all();
            QMetaObject::invokeMethod(
                qApp, [] {}, Qt::QueuedConnection);  // wakes the loop
        });
    } catch (const std::system_error&) {
        return document->saveSettingsToCatalog(&error);  // no thread to spare: here
    }
    std::unique_lock lock(save->mutex);
    save->done.wait_for(lock, std::chrono::milliseconds(100), finished);
    while (!finished()) {
        lock.unlock();
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                        QEventLoop::WaitForMoreEvents);
        lock.lock();
    }
    lock.unlock();
    saver.join();
    error = save->error;
    return *save->saved;
}
