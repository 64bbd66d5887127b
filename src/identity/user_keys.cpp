#include "identity/user_keys.h"

#include "wire/key_header.h"

#include <vector>

namespace velmo::identity {

void UserKeys::make(const std::string& user_id) {
    if (keys.find(user_id) == keys.end()) {
        keys.emplace(user_id, random.bytes(KeyBytes));
    }
}

std::optional<std::string> UserKeys::header(std::string_view user_id) const {
    const auto it = keys.find(user_id);
    if (it == keys.end()) {
        return std::nullopt;
    }
    return wire::keyHeaderValue(it->first, it->second);
}

void UserKeys::load(const platform::SettingsStore& settings) {
    for (const std::string& entry :
         settings.stringList(UserKeysKey).value_or(std::vector<std::string>{})) {
        if (auto read = wire::parseKeyHeader(entry)) {
            keys.emplace(std::move(read->user_id), std::move(read->key));
        }
    }
}

void UserKeys::save(platform::SettingsStore& settings, const std::set<std::string>& needed) {
    std::vector<std::string> entries;
    for (auto it = keys.begin(); it != keys.end();) {
        if (needed.count(it->first) == 0) {
            it = keys.erase(it);
            continue;
        }
        entries.push_back(wire::keyHeaderValue(it->first, it->second));
        ++it;
    }
    settings.setStringList(UserKeysKey, entries);
}

} // namespace velmo::identity
