#pragma once

#include "platform/settings_store.h"

#include <QString>

#include <memory>

class QSettings;

namespace velmo::platform::qt {

// The saved settings in an INI file through QSettings. Without a file name it is the user's
// usual one (on Linux ~/.config/Velmorastra/velmorastra.ini). A file is always replaced as a
// whole (written beside it, then renamed), so a crash leaves the old or the new one.
//
// Strings that are valid UTF-8 are kept as text; other bytes are kept as bytes, so every
// value reads back exactly. A list is a QSettings array (`key/size`, `key/1/value`, ...),
// which keeps a list of one element or of none apart from a string.
class QtSettingsStore : public SettingsStore {
public:
    explicit QtSettingsStore(const QString& file_path = {});
    ~QtSettingsStore() override;
    QtSettingsStore(const QtSettingsStore&) = delete;
    QtSettingsStore& operator=(const QtSettingsStore&) = delete;

    std::optional<std::string> stringValue(const std::string& key) const override;
    std::optional<std::vector<std::string>> stringList(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override;
    void setStringList(const std::string& key, const std::vector<std::string>& values) override;
    void synchronize() override;

    // The absolute path of the file.
    QString fileName() const;
    // False after a write to permanent storage failed.
    bool lastSyncSucceeded() const { return sync_ok; }

private:
    std::unique_ptr<QSettings> settings;
    bool sync_ok = true;
};

} // namespace velmo::platform::qt
