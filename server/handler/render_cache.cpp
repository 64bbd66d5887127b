#include "handler/render_cache.h"

#include <functional>

namespace velmo::server {

void CanvasRender::layerChanged(size_t layer, canvas::PixelRect rect) {
    rect = rect.clippedTo(geometry.canvas_width, geometry.canvas_height);
    if (rect.empty()) {
        return;
    }
    if (!picture.empty()) {
        picture_stale = picture_stale.united(rect);
        if (picture_file) {
            picture_file->markChanged(rect.y, rect.bottom());
        }
    }
    if (layers_file) {
        const int top = static_cast<int>(layer) * geometry.canvas_height;
        layers_file->markChanged(top + rect.y, top + rect.bottom());
    }
}

void CanvasRender::allChanged() {
    if (!picture.empty()) {
        picture_stale = picture.bounds();
        if (picture_file) {
            picture_file->markAllChanged();
        }
    }
    if (layers_file) {
        layers_file->markAllChanged();
    }
}

size_t CanvasRender::memoryBytes() const {
    size_t bytes =
        sizeof(*this) + picture_etag.capacity() + layers_etag.capacity() + newest_hash.capacity();
    const auto layerBytes = [](const canvas::LayerSurfaces& set) {
        size_t sum = 0;
        for (const canvas::Surface& layer : set) {
            sum += static_cast<size_t>(layer.width()) * layer.height() * sizeof(canvas::Pixel);
        }
        return sum;
    };
    bytes += layerBytes(layers);
    for (const auto* point : {&recent, &older}) {
        if (*point) {
            bytes += layerBytes((*point)->layers) + (*point)->newest_hash.capacity();
        }
    }
    bytes += static_cast<size_t>(picture.width()) * picture.height() * sizeof(canvas::Pixel);
    if (picture_file) {
        bytes += picture_file->memoryBytes();
    }
    if (layers_file) {
        bytes += layers_file->memoryBytes();
    }
    return bytes;
}

size_t RenderCache::KeyHash::operator()(const Key& key) const {
    const size_t id = std::hash<std::string>{}(key.canvas_id);
    const size_t size = static_cast<size_t>(static_cast<uint32_t>(key.width)) << 32 |
                        static_cast<uint32_t>(key.height);
    return id ^ (std::hash<size_t>{}(size) + 0x9e3779b97f4a7c15ull + (id << 6) + (id >> 2));
}

RenderCache::Lease RenderCache::take(std::string_view canvas_id, int width, int height) {
    Key key{std::string(canvas_id), width, height};
    if (max_bytes_ == 0) {
        return Lease(nullptr, std::move(key), std::make_shared<Entry>());
    }
    std::shared_ptr<Entry> entry;
    {
        std::lock_guard lock(mutex_);
        auto found = slots_.find(key);
        if (found == slots_.end()) {
            recent_.push_front(key);
            found = slots_.emplace(key, Slot{std::make_shared<Entry>(), recent_.begin(), 0}).first;
        } else {
            recent_.splice(recent_.begin(), recent_, found->second.recent);
        }
        entry = found->second.entry;
    }
    // Waited for outside the cache's lock: a long paint of one entry holds up no other.
    return Lease(this, std::move(key), std::move(entry));
}

RenderCache::Lease::Lease(RenderCache* cache, Key key, std::shared_ptr<Entry> entry)
    : cache_(cache), key_(std::move(key)), entry_(std::move(entry)), hold_(entry_->mutex) {}

RenderCache::Lease::~Lease() {
    if (entry_ != nullptr && cache_ != nullptr) {
        cache_->settle(key_, entry_, entry_->render.memoryBytes(), keep_);
    }
}

void RenderCache::settle(const Key& key, const std::shared_ptr<Entry>& entry, size_t bytes,
                         bool keep) {
    std::lock_guard lock(mutex_);
    const auto found = slots_.find(key);
    // Evicted meanwhile, or replaced by a newer entry: this one is the request's alone now.
    if (found == slots_.end() || found->second.entry != entry) {
        return;
    }
    bytes_ -= found->second.bytes;
    if (!keep) {
        recent_.erase(found->second.recent);
        slots_.erase(found);
        return;
    }
    found->second.bytes = bytes;
    bytes_ += bytes;
    while (bytes_ > max_bytes_ && !recent_.empty()) {
        const auto oldest = slots_.find(recent_.back());
        bytes_ -= oldest->second.bytes;
        slots_.erase(oldest);
        recent_.pop_back();
    }
}

std::vector<std::pair<int, int>> RenderCache::sizesOf(std::string_view canvas_id) const {
    std::vector<std::pair<int, int>> sizes;
    std::lock_guard lock(mutex_);
    for (const auto& [key, slot] : slots_) {
        if (key.canvas_id == canvas_id) {
            sizes.emplace_back(key.width, key.height);
        }
    }
    return sizes;
}

size_t RenderCache::bytes() const {
    std::lock_guard lock(mutex_);
    return bytes_;
}

size_t RenderCache::entries() const {
    std::lock_guard lock(mutex_);
    return slots_.size();
}

} // namespace velmo::server
