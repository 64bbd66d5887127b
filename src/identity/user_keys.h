#pragma once

#include "platform/random_source.h"
#include "platform/settings_store.h"

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace velmo::identity {

inline constexpr const char* UserKeysKey = "UserKeys";

// The secret keys this client made for its user IDs, one for each ID, by which the server
// tells this client's commands from a stranger's under the same user name. Kept in the
// settings under "UserKeys", one element a user ID in the key header's own form "<user ID>
// <key in hex>", for the commands still queued under an earlier ID and the pictures of a
// canvas drawn on under one.
class UserKeys {
public:
    // 128 bits.
    static constexpr size_t KeyBytes = 16;

    // `random` must outlive the keys.
    explicit UserKeys(platform::RandomSource& source) : random(source) {}

    // Gives `user_id` a key of fresh random bytes, unless it has one.
    void make(const std::string& user_id);
    // The key header value proving `user_id`; nothing when it has no key (an ID made before
    // this client kept keys).
    std::optional<std::string> header(std::string_view user_id) const;
    size_t size() const { return keys.size(); }

    // Adds the saved keys to those made in this run (which win for an equal ID); elements that
    // do not read as a user ID and a key are dropped. A file from before keys has none.
    void load(const platform::SettingsStore& settings);
    // Saves the keys of the user IDs in `needed` and forgets the others, which nothing will
    // send again. An empty ID in `needed` stands for none.
    void save(platform::SettingsStore& settings, const std::set<std::string>& needed);

private:
    platform::RandomSource& random;
    std::map<std::string, std::string, std::less<>> keys; // user ID -> key bytes
};

} // namespace velmo::identity
