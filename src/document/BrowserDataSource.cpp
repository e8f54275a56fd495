#include "document/BrowserDataSource.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <list>
#include <string>
#include <unordered_set>

// The waiting work, oldest first, and the workers draining it. Shared with
// the workers so that work already running may finish after the source went.
struct BrowserDataSource::ThumbnailWork : std::enable_shared_from_this<ThumbnailWork> {
    struct Job {
        const FSNodeInfo* node;
        platform::Task make, dropped;
    };
    std::mutex mutex;
    std::condition_variable idle;
    std::list<Job> pending;
    unsigned running = 0;
    const unsigned workers = std::max(1u, platform::processorCount());

    void add(Job job) {
        bool start = false;
        {
            std::lock_guard lock(mutex);
            pending.push_back(std::move(job));
            if (running < workers) {
                ++running;
                start = true;
            }
        }
        if (start)
            platform::DispatchQueue::global()->async(
                [self = shared_from_this()] { self->drain(); });
    }

    void drain() {
        for (;;) {
            Job job;
            {
                std::lock_guard lock(mutex);
                if (pending.empty()) {
                    --running;
                    idle.notify_all();
                    return;
                }
                job = std::move(pending.front());
                pending.pop_front();
            }
            job.make();
        }
    }

    // Takes out the waiting jobs `keep` refuses, to be told so outside the lock.
    template <class Keep>
    std::list<Job> dropUnless(Keep keep) {
        std::list<Job> dropped;
        std::lock_guard lock(mutex);
        for (auto it = pending.begin(); it != pending.end();) {
            auto next = std::next(it);
            if (!keep(it->node)) dropped.splice(dropped.end(), pending, it);
            it = next;
        }
        return dropped;
    }
};

BrowserDataSource::BrowserDataSource() : work_(std::make_shared<ThumbnailWork>()) {}

BrowserDataSource::~BrowserDataSource() {
    // Nobody is left to show what the waiting work would make.
    work_->dropUnless([](const FSNodeInfo*) { return false; });
}

std::shared_ptr<BrowserDataSource> BrowserDataSource::create() {
    return std::shared_ptr<BrowserDataSource>(new BrowserDataSource);
}

void BrowserDataSource::setPath(const std::filesystem::path& url,
                                std::vector<std::filesystem::path> noRecurse) {
    // The old tree's cells are gone from the screen.
    for (auto& job : work_->dropUnless([](const FSNodeInfo*) { return false; })) job.dropped();
    rootNodeInfo_ = FSNodeInfo::initWithURL(url, std::move(noRecurse));
    rootNodeInfo_->setDelegate(weak_from_this());
}

void BrowserDataSource::invalidateFolder() {
    if (rootNodeInfo_) rootNodeInfo_->invalidateChildren();
}

size_t BrowserDataSource::numberOfItemsInImageBrowser() {
    return rootNodeInfo_ ? rootNodeInfo_->subNodes().size() : 0;
}

std::shared_ptr<FSNodeInfo> BrowserDataSource::itemAtIndex(size_t index) {
    if (!rootNodeInfo_) return nullptr;
    auto children = rootNodeInfo_->subNodes();
    return index < children.size() ? children[index] : nullptr;
}

void BrowserDataSource::setReloadHandler(ReloadHandler handler) {
    reloadHandler_ = std::move(handler);
}

void BrowserDataSource::iconDidChange(const std::shared_ptr<FSNodeInfo>& node) {
    if (reloadHandler_) reloadHandler_(node);
}

void BrowserDataSource::queueThumbnail(const std::shared_ptr<FSNodeInfo>& node, platform::Task make,
                                       platform::Task dropped) {
    work_->add({node.get(), std::move(make), std::move(dropped)});
}

void BrowserDataSource::setVisibleItems(const std::vector<std::shared_ptr<FSNodeInfo>>& nodes) {
    std::unordered_set<const FSNodeInfo*> shown;
    for (const auto& node : nodes) shown.insert(node.get());
    for (auto& job : work_->dropUnless([&](const FSNodeInfo* n) { return shown.count(n) > 0; }))
        job.dropped();
}

void BrowserDataSource::waitForThumbnails() {
    std::unique_lock lock(work_->mutex);
    work_->idle.wait(lock, [&] { return work_->pending.empty() && work_->running == 0; });
}

platform::EvictingCache& BrowserDataSource::masterIconCache() {
    std::lock_guard lock(mutex_);
    if (!masterCache_)
        masterCache_ = std::make_unique<platform::EvictingCache>(kThumbnailCacheLimit);
    return *masterCache_;
}

namespace {

// XDG_PICTURES_DIR="$HOME/Bilder" from user-dirs.dirs; empty when absent.
std::filesystem::path xdgPicturesDir(const std::filesystem::path& home) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::filesystem::path dirs =
        config && *config ? std::filesystem::path(config) : home / ".config";
    std::ifstream in(dirs / "user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_PICTURES_DIR=";
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) return home.string() + value.substr(5);
        if (!value.empty() && value[0] == '/') return value;
        return {};
    }
    return {};
}

}  // namespace

std::vector<std::filesystem::path> BrowserDataSource::picturesFolders() {
    const char* home = std::getenv("HOME");
    std::filesystem::path base = home && *home ? home : "/";
    std::filesystem::path xdg = xdgPicturesDir(base);
    // "$HOME/" alone means the user has no pictures folder of its own.
    if (!xdg.empty() && xdg.lexically_normal() != base.lexically_normal()) return {xdg};
    return {base / "Pictures"};
}
