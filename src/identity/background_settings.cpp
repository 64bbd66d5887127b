#include "identity/background_settings.h"

#include <utility>

namespace velmo::identity {
namespace {

// The store behind, as a job sees it: what the job writes is noted.
class NotingStore : public platform::SettingsStore {
public:
    explicit NotingStore(platform::SettingsStore& behind) : store(behind) {}
    std::optional<std::string> stringValue(const std::string& key) const override {
        return store.stringValue(key);
    }
    std::optional<std::vector<std::string>> stringList(const std::string& key) const override {
        return store.stringList(key);
    }
    void setString(const std::string& key, const std::string& value) override {
        store.setString(key, value);
        written[key] = value;
    }
    void setStringList(const std::string& key, const std::vector<std::string>& values) override {
        store.setStringList(key, values);
        written[key] = values;
    }
    void synchronize() override { store.synchronize(); }

    platform::SettingsStore& store;
    std::map<std::string, std::variant<std::monostate, std::string, std::vector<std::string>>>
        written;
};

} // namespace

BackgroundSettings::BackgroundSettings(platform::SettingsStore& behind)
    : store(behind), writer([this] { run(); }) {}

BackgroundSettings::~BackgroundSettings() {
    {
        std::lock_guard guard(queue_mutex);
        stopping = true;
    }
    queue_changed.notify_all();
    writer.join();
}

BackgroundSettings::Shared BackgroundSettings::known(const std::string& key, bool list) const {
    std::unique_lock guard(cache_mutex);
    if (const auto it = cache.find({list, key}); it != cache.end()) {
        return it->second.value;
    }
    guard.unlock();
    Value value;
    {
        std::lock_guard reading(store_mutex);
        if (list) {
            if (auto values = store.stringList(key)) {
                value = std::move(*values);
            }
        } else if (auto text = store.stringValue(key)) {
            value = std::move(*text);
        }
    }
    guard.lock();
    // A write made meanwhile is newer than what was read.
    return cache.try_emplace({list, key}, Entry{std::make_shared<const Value>(std::move(value))})
        .first->second.value;
}

std::optional<std::string> BackgroundSettings::stringValue(const std::string& key) const {
    const Shared value = known(key, false);
    if (const auto* text = std::get_if<std::string>(value.get())) {
        return *text;
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>>
BackgroundSettings::stringList(const std::string& key) const {
    const Shared value = known(key, true);
    if (const auto* values = std::get_if<std::vector<std::string>>(value.get())) {
        return *values;
    }
    return std::nullopt;
}

void BackgroundSettings::remember(const std::string& key, Shared value, uint64_t write) {
    const bool list = std::holds_alternative<std::vector<std::string>>(*value);
    cache[{list, key}] = Entry{std::move(value), write};
    cache[{!list, key}] = Entry{std::make_shared<const Value>(), write};
}

void BackgroundSettings::setString(const std::string& key, const std::string& value) {
    auto shared = std::make_shared<const Value>(value);
    std::lock_guard guard(cache_mutex);
    remember(key, shared, ++write_count);
    changed[key] = std::move(shared);
}

void BackgroundSettings::setStringList(const std::string& key,
                                       const std::vector<std::string>& values) {
    auto shared = std::make_shared<const Value>(values);
    std::lock_guard guard(cache_mutex);
    remember(key, shared, ++write_count);
    changed[key] = std::move(shared);
}

void BackgroundSettings::synchronize() {
    std::map<std::string, Shared> writes;
    {
        std::lock_guard guard(cache_mutex);
        writes.swap(changed);
    }
    enqueue([writes = std::move(writes)](platform::SettingsStore& behind) {
        for (const auto& [key, value] : writes) {
            if (const auto* text = std::get_if<std::string>(value.get())) {
                behind.setString(key, *text);
            } else if (const auto* values = std::get_if<std::vector<std::string>>(value.get())) {
                behind.setStringList(key, *values);
            }
        }
        behind.synchronize();
    });
}

void BackgroundSettings::perform(std::function<void(platform::SettingsStore&)> job) {
    // What was written before the job is in the store when it runs.
    synchronize();
    uint64_t at = 0;
    {
        std::lock_guard guard(cache_mutex);
        at = ++write_count;
    }
    enqueue([this, at, job = std::move(job)](platform::SettingsStore& behind) {
        NotingStore noting(behind);
        job(noting);
        // What the job wrote is what is read, unless it was written again since the job was
        // handed over.
        std::lock_guard guard(cache_mutex);
        for (auto& [key, value] : noting.written) {
            const auto it =
                cache.find({std::holds_alternative<std::vector<std::string>>(value), key});
            if (it == cache.end() || it->second.write < at) {
                remember(key, std::make_shared<const Value>(std::move(value)), at);
            }
        }
    });
}

void BackgroundSettings::flush() {
    std::unique_lock guard(queue_mutex);
    queue_changed.wait(guard, [this] { return jobs.empty() && !busy; });
}

void BackgroundSettings::enqueue(Job job) {
    {
        std::lock_guard guard(queue_mutex);
        jobs.push_back(std::move(job));
    }
    queue_changed.notify_all();
}

void BackgroundSettings::run() {
    std::unique_lock guard(queue_mutex);
    for (;;) {
        queue_changed.wait(guard, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty()) {
            return; // stopping, with everything written
        }
        Job job = std::move(jobs.front());
        jobs.pop_front();
        busy = true;
        guard.unlock();
        {
            std::lock_guard using_store(store_mutex);
            job(store);
        }
        guard.lock();
        busy = false;
        queue_changed.notify_all();
    }
}

} // namespace velmo::identity
