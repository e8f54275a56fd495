#include "platform/UserDefaults.h"

#include <cctype>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserWarning.h"

namespace platform {

struct UserDefaults::Impl {
    mutable std::mutex mutex;
    std::filesystem::path file;
    Dictionary registered;
    Dictionary values;
    struct KeyObserver {
        Token token;
        std::string key;
        std::shared_ptr<Observer> callback;
    };
    std::vector<KeyObserver> observers;
    Token nextToken = 1;
    ValueCheck check;

    // A file that cannot be read is moved aside (a setter would otherwise
    // write over what the user set); answers what the user is to be told,
    // outside the lock.
    std::vector<std::string> loadLocked() {
        values.clear();
        std::error_code ec;
        if (!std::filesystem::exists(file, ec)) return {};
        Error error;
        auto root = readPropertyList(file, &error);
        if (root && root->isDictionary()) {
            values = std::move(root->dictionary());
            return check ? check(values, file) : std::vector<std::string>{};
        }
        const std::string reason = root ? "the file holds no preferences" : error.failureReason;
        const auto aside = setAsideDamagedFile(file);
        if (!aside) {
            log("UserDefaults: ignoring unreadable %s (%s)", file.c_str(), reason.c_str());
            return {};
        }
        return {"The preferences file \"" + file.string() + "\" was damaged (" + reason +
                "); it is kept as \"" + aside->string() + "\" and the preferences start afresh."};
    }

    bool saveLocked(Error* error) {
        std::error_code ec;
        std::filesystem::create_directories(file.parent_path(), ec);
        return writePropertyList(Value(values), file, error);
    }
};

UserDefaults& UserDefaults::standard() {
    static UserDefaults* defaults = new UserDefaults(configDirectory(false) / "Defaults.plist");
    return *defaults;
}

void UserDefaults::resetStandardForEnvironment() {
    UserDefaults& d = standard();
    std::vector<std::string> told;
    {
        std::lock_guard lock(d.impl_->mutex);
        d.impl_->file = configDirectory(false) / "Defaults.plist";
        d.impl_->registered.clear();
        told = d.impl_->loadLocked();
    }
    for (const auto& text : told) warnUser(text);
}

UserDefaults::UserDefaults(std::filesystem::path file) : impl_(std::make_unique<Impl>()) {
    impl_->file = std::move(file);
    for (const auto& text : impl_->loadLocked()) warnUser(text);
}

UserDefaults::~UserDefaults() = default;

void UserDefaults::registerDefaults(const Dictionary& defaults) {
    std::lock_guard lock(impl_->mutex);
    for (const auto& [key, value] : defaults) impl_->registered.set(key, value);
}

Value UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(impl_->mutex);
    if (const Value* v = impl_->values.find(key)) return *v;
    if (const Value* v = impl_->registered.find(key)) return *v;
    return {};
}

bool UserDefaults::boolForKey(const std::string& key) const {
    Value v = objectForKey(key);
    // Strings such as "YES" or "1" count too, as they do in hand-edited files.
    if (v.isString()) {
        const std::string& s = v.string();
        return s == "YES" || s == "yes" || s == "true" || s == "TRUE" ||
               (!s.empty() && s != "0" && std::isdigit(static_cast<unsigned char>(s[0])));
    }
    return v.boolValue(false);
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (v.isString()) return std::atoll(v.string().c_str());
    return v.integerValue(0);
}

double UserDefaults::doubleForKey(const std::string& key) const {
    Value v = objectForKey(key);
    if (v.isString()) return std::atof(v.string().c_str());
    return v.realValue(0);
}

std::string UserDefaults::stringForKey(const std::string& key) const {
    return objectForKey(key).stringValue();
}

Value::Data UserDefaults::dataForKey(const std::string& key) const {
    return objectForKey(key).data();
}

void UserDefaults::setObject(const Value& value, const std::string& key) {
    std::vector<std::shared_ptr<Observer>> toCall;
    Value effective;
    {
        std::lock_guard lock(impl_->mutex);
        if (value.isNull())
            impl_->values.remove(key);
        else
            impl_->values.set(key, value);
        Error error;
        if (!impl_->saveLocked(&error))
            log("UserDefaults: cannot save %s: %s", impl_->file.c_str(),
                error.failureReason.c_str());
        if (const Value* v = impl_->values.find(key))
            effective = *v;
        else if (const Value* r = impl_->registered.find(key))
            effective = *r;
        for (const auto& o : impl_->observers)
            if (o.key == key) toCall.push_back(o.callback);
    }
    for (const auto& callback : toCall) (*callback)(key, effective);
}

UserDefaults::Token UserDefaults::addObserver(const std::string& key, Observer observer) {
    std::lock_guard lock(impl_->mutex);
    Token token = impl_->nextToken++;
    impl_->observers.push_back({token, key, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void UserDefaults::removeObserver(Token token) {
    std::lock_guard lock(impl_->mutex);
    auto& list = impl_->observers;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->token == token) {
            list.erase(it);
            return;
        }
    }
}

std::filesystem::path UserDefaults::file() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->file;
}

bool UserDefaults::synchronize(Error* error) {
    std::lock_guard lock(impl_->mutex);
    return impl_->saveLocked(error);
}

void UserDefaults::reload() {
    std::vector<std::string> told;
    {
        std::lock_guard lock(impl_->mutex);
        told = impl_->loadLocked();
    }
    for (const auto& text : told) warnUser(text);
}

void UserDefaults::setValueCheck(ValueCheck check) {
    std::vector<std::string> told;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->check = std::move(check);
        if (impl_->check) told = impl_->check(impl_->values, impl_->file);
    }
    for (const auto& text : told) warnUser(text);
}

}  // namespace platform
