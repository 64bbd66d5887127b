#pragma once

#include "platform/settings_store.h"

#include <map>
#include <variant>

namespace velmo::bot {

// Settings that live as long as the process: a bot without a settings file starts afresh.
class MemorySettingsStore : public platform::SettingsStore {
public:
    std::optional<std::string> stringValue(const std::string& key) const override;
    std::optional<std::vector<std::string>> stringList(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override;
    void setStringList(const std::string& key, const std::vector<std::string>& values) override;
    void synchronize() override {}

private:
    std::map<std::string, std::variant<std::string, std::vector<std::string>>> values;
};

} // namespace velmo::bot
