#include "app/bot/memory_settings_store.h"

namespace velmo::bot {

std::optional<std::string> MemorySettingsStore::stringValue(const std::string& key) const {
    const auto it = values.find(key);
    if (it == values.end() || !std::holds_alternative<std::string>(it->second)) {
        return std::nullopt;
    }
    return std::get<std::string>(it->second);
}

std::optional<std::vector<std::string>>
MemorySettingsStore::stringList(const std::string& key) const {
    const auto it = values.find(key);
    if (it == values.end() || !std::holds_alternative<std::vector<std::string>>(it->second)) {
        return std::nullopt;
    }
    return std::get<std::vector<std::string>>(it->second);
}

void MemorySettingsStore::setString(const std::string& key, const std::string& value) {
    values[key] = value;
}

void MemorySettingsStore::setStringList(const std::string& key,
                                        const std::vector<std::string>& list) {
    values[key] = list;
}

} // namespace velmo::bot
