// User preferences: registered defaults under values the user set, the latter
// kept in the property-list file $XDG_CONFIG_HOME/Quorvex/Defaults.plist.
// Every setter writes the file at once (atomically); reading never creates
// anything on disk, except that a file which cannot be read is moved aside
// ("Defaults.plist.damaged") and the user told once (warnUser), so that the
// next setter does not write over it. Thread-safe.
//
// Key observers are called on the setting thread, after the change, outside
// the lock, for every set or removal of their key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Value.h"

namespace platform {

class UserDefaults {
public:
    using Token = uint64_t;
    using Observer = std::function<void(const std::string& key, const Value& newValue)>;

    // The process-wide defaults at configDirectory()/Defaults.plist.
    static UserDefaults& standard();
    // Defaults kept in `file` (the folder is made when first written).
    explicit UserDefaults(std::filesystem::path file);
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // Values used for keys the user never set; merged over earlier registrations.
    void registerDefaults(const Dictionary& defaults);

    // Vets what the file holds, now and at every later reading: `check`
    // mends the values in place (in memory; the file changes only when a
    // setter writes it) and answers what the user is to be told, which is
    // told after the check, outside the lock.
    using ValueCheck = std::function<std::vector<std::string>(Dictionary& values,
                                                              const std::filesystem::path& file)>;
    void setValueCheck(ValueCheck check);

    // The user's value, else the registered one, else null.
    Value objectForKey(const std::string& key) const;
    bool boolForKey(const std::string& key) const;        // false when absent
    int64_t integerForKey(const std::string& key) const;  // 0 when absent
    double doubleForKey(const std::string& key) const;    // 0 when absent
    std::string stringForKey(const std::string& key) const;
    Value::Data dataForKey(const std::string& key) const;

    // A null value removes the key.
    void setObject(const Value& value, const std::string& key);
    void setBool(bool value, const std::string& key) { setObject(Value(value), key); }
    void setInteger(int64_t value, const std::string& key) { setObject(Value(value), key); }
    void setDouble(double value, const std::string& key) { setObject(Value(value), key); }
    void setString(const std::string& value, const std::string& key) {
        setObject(Value(value), key);
    }
    void setData(const Value::Data& value, const std::string& key) { setObject(Value(value), key); }
    void removeObjectForKey(const std::string& key) { setObject(Value(), key); }

    Token addObserver(const std::string& key, Observer observer);
    void removeObserver(Token token);

    std::filesystem::path file() const;
    // Writes the user's values; false (with the error) when the file cannot be written.
    bool synchronize(Error* error = nullptr);
    // Reads the file again, dropping unsaved values (registered ones stay).
    void reload();
    // Points standard() at configDirectory() as the environment now says and
    // reloads; registered defaults are dropped. For tests that move HOME.
    static void resetStandardForEnvironment();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
