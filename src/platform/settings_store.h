#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmo::platform {

// The saved-settings store: strings and lists of strings under keys. Values are UTF-8 bytes.
// A read gives nothing when the key is absent or holds another kind of value; a list read
// drops elements that are not strings.
class SettingsStore {
public:
    virtual ~SettingsStore() = default;
    virtual std::optional<std::string> stringValue(const std::string& key) const = 0;
    virtual std::optional<std::vector<std::string>> stringList(const std::string& key) const = 0;
    // Each write replaces the stored value; it may stay in memory until `synchronize`.
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setStringList(const std::string& key, const std::vector<std::string>& values) = 0;
    // Writes everything to permanent storage now, or, for a store written in the background,
    // hands it to its writer, which writes it after what it was handed before.
    virtual void synchronize() = 0;
    // Runs a job that reads and writes the store as a whole (a large save): here and now, or,
    // for a store written in the background, on its writer after what it was handed before.
    // The job must not touch anything but the store it is given and what it owns.
    virtual void perform(std::function<void(SettingsStore&)> job) { job(*this); }
};

} // namespace velmo::platform
