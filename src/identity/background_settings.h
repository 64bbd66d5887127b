#pragma once

#include "platform/settings_store.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace velmo::identity {

// Settings whose writes to permanent storage happen on a thread of their own, so a save of a
// large state never holds up the thread that makes it. Reads and writes are answered from
// memory; `synchronize` hands what changed to the writer and returns; `perform` runs a job on
// the writer, in order with the synchronizations. The store behind is touched by the writer
// only, except for reads of keys not read or written before.
//
// Thread-safe. The destructor waits until everything handed over is written.
class BackgroundSettings : public platform::SettingsStore {
public:
    explicit BackgroundSettings(platform::SettingsStore& behind);
    ~BackgroundSettings() override;
    BackgroundSettings(const BackgroundSettings&) = delete;
    BackgroundSettings& operator=(const BackgroundSettings&) = delete;

    std::optional<std::string> stringValue(const std::string& key) const override;
    std::optional<std::vector<std::string>> stringList(const std::string& key) const override;
    void setString(const std::string& key, const std::string& value) override;
    void setStringList(const std::string& key, const std::vector<std::string>& values) override;
    void synchronize() override;
    void perform(std::function<void(platform::SettingsStore&)> job) override;

    // Waits until the writer has done all it was handed.
    void flush();

private:
    using Value = std::variant<std::monostate, std::string, std::vector<std::string>>;
    using Shared = std::shared_ptr<const Value>;
    using Job = std::function<void(platform::SettingsStore&)>;

    // The value as the store behind holds it, read once.
    Shared known(const std::string& key, bool list) const;
    // Sets the cached value of `key` as written by write number `write`.
    void remember(const std::string& key, Shared value, uint64_t write);
    void enqueue(Job job);
    void run();

    platform::SettingsStore& store;
    // What was read or written, by whether it is read as a list and by key; an empty value
    // is known absent (or of the other kind).
    // Each with the number of the write that made it (0 when read).
    struct Entry {
        Shared value;
        uint64_t write = 0;
    };
    mutable std::map<std::pair<bool, std::string>, Entry> cache;
    uint64_t write_count = 0;
    // Written since the last synchronization.
    std::map<std::string, Shared> changed;
    mutable std::mutex cache_mutex;
    // Held while the store behind is used.
    mutable std::mutex store_mutex;

    std::mutex queue_mutex;
    std::condition_variable queue_changed;
    std::deque<Job> jobs;
    bool busy = false;
    bool stopping = false;
    std::thread writer;
};

} // namespace velmo::identity
