#pragma once

#include "platform/settings_store.h"

#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace velmo::testing {

// A settings store in memory that counts its write-throughs.
class MemorySettings : public platform::SettingsStore {
public:
    using Value = std::variant<std::string, std::vector<std::string>>;

    std::optional<std::string> stringValue(const std::string& key) const override {
        const auto it = values.find(key);
        if (it == values.end() || !std::holds_alternative<std::string>(it->second)) {
            return std::nullopt;
        }
        return std::get<std::string>(it->second);
    }
    std::optional<std::vector<std::string>> stringList(const std::string& key) const override {
        const auto it = values.find(key);
        if (it == values.end() || !std::holds_alternative<std::vector<std::string>>(it->second)) {
            return std::nullopt;
        }
        return std::get<std::vector<std::string>>(it->second);
    }
    void setString(const std::string& key, const std::string& value) override {
        values[key] = value;
    }
    void setStringList(const std::string& key, const std::vector<std::string>& list) override {
        values[key] = list;
    }
    void synchronize() override { ++synchronizations; }

    std::map<std::string, Value> values;
    int synchronizations = 0;
};

} // namespace velmo::testing
