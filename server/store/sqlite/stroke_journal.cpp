#include "store/sqlite/stroke_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace velmo::server {

namespace {

constexpr size_t HeaderSize = 4 + 8;
// sequence, server time, client time, and the three lengths.
constexpr size_t FixedSize = 8 + 8 + 8 + 4 + 4 + 4;
// Far above any stroke the server accepts; a larger size can only be garbage.
constexpr size_t MaxRecordSize = 16u << 20;

// FNV-1a over 8-byte words, the tail byte by byte: enough to tell a record cut short or
// overwritten by a crash, at a few cycles per word.
uint64_t checksum(std::string_view bytes) {
    constexpr uint64_t Prime = 0x100000001b3ULL;
    uint64_t hash = 0xcbf29ce484222325ULL;
    size_t at = 0;
    for (; at + 8 <= bytes.size(); at += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes.data() + at, 8);
        hash = (hash ^ word) * Prime;
        hash ^= hash >> 32;
    }
    for (; at < bytes.size(); ++at) {
        hash = (hash ^ static_cast<unsigned char>(bytes[at])) * Prime;
    }
    return hash;
}

void putNumber(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

uint64_t getNumber(std::string_view bytes, size_t at, int size) {
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
        value |= uint64_t{static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)])}
                 << (8 * i);
    }
    return value;
}

} // namespace

std::unique_ptr<StrokeJournal> StrokeJournal::open(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
        }
        return nullptr;
    }
    // A new file's name must be on disk before a flush of its contents means anything.
    const auto folder = std::filesystem::path(path).parent_path();
    const int folder_fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder_fd >= 0) {
        ::fsync(folder_fd);
        ::close(folder_fd);
    }
    return std::make_unique<StrokeJournal>(fd);
}

StrokeJournal::~StrokeJournal() {
    ::close(fd_);
}

std::vector<JournalRecord> StrokeJournal::recover(uint64_t first) const {
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || info.st_size <= 0) {
        return {};
    }
    std::string bytes(static_cast<size_t>(info.st_size), '\0');
    size_t read = 0;
    while (read < bytes.size()) {
        const ssize_t got =
            ::pread(fd_, bytes.data() + read, bytes.size() - read, static_cast<off_t>(read));
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        read += static_cast<size_t>(got);
    }
    bytes.resize(read);
    return decode(bytes, first);
}

bool StrokeJournal::write(std::string_view records) {
    size_t written = 0;
    while (written < records.size()) {
        const ssize_t put = ::pwrite(fd_, records.data() + written, records.size() - written,
                                     static_cast<off_t>(offset_ + written));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Part of the records may be in the file already. The next write reuses their
            // sequence numbers: cut them off, so that a shorter write leaves none behind it.
            const bool cut = ::ftruncate(fd_, static_cast<off_t>(offset_)) == 0;
            static_cast<void>(cut);
            return false;
        }
        written += static_cast<size_t>(put);
    }
    offset_ += written;
    return true;
}

bool StrokeJournal::flush() const {
    return ::fdatasync(fd_) == 0;
}

void StrokeJournal::encode(std::string& out, const JournalRecord& record) {
    encode(out, record.sequence, record.canvas_id, record.server_time, record.client_time,
           record.user_name, record.text);
}

void StrokeJournal::encode(std::string& out, uint64_t sequence, std::string_view canvas_id,
                           int64_t server_time, int64_t client_time, std::string_view user_name,
                           std::string_view text) {
    const size_t size = FixedSize + canvas_id.size() + user_name.size() + text.size();
    const size_t start = out.size();
    putNumber(out, size, 4);
    putNumber(out, 0, 8); // the checksum, once the record is written
    putNumber(out, sequence, 8);
    putNumber(out, static_cast<uint64_t>(server_time), 8);
    putNumber(out, static_cast<uint64_t>(client_time), 8);
    putNumber(out, canvas_id.size(), 4);
    putNumber(out, user_name.size(), 4);
    putNumber(out, text.size(), 4);
    out += canvas_id;
    out += user_name;
    out += text;
    const uint64_t sum = checksum(std::string_view(out).substr(start + HeaderSize));
    for (int i = 0; i < 8; ++i) {
        out[start + 4 + static_cast<size_t>(i)] = static_cast<char>((sum >> (8 * i)) & 0xff);
    }
}

std::vector<JournalRecord> StrokeJournal::decode(std::string_view bytes, uint64_t first) {
    std::vector<JournalRecord> records;
    size_t at = 0;
    uint64_t expected = first;
    while (bytes.size() - at >= HeaderSize) {
        const size_t size = getNumber(bytes, at, 4);
        if (size < FixedSize || size > MaxRecordSize || size > bytes.size() - at - HeaderSize) {
            break;
        }
        const std::string_view body = bytes.substr(at + HeaderSize, size);
        if (checksum(body) != getNumber(bytes, at + 4, 8)) {
            break;
        }
        const uint64_t canvas_size = getNumber(body, 24, 4);
        const uint64_t user_size = getNumber(body, 28, 4);
        const uint64_t text_size = getNumber(body, 32, 4);
        if (getNumber(body, 0, 8) != expected ||
            canvas_size + user_size + text_size != size - FixedSize) {
            break;
        }
        JournalRecord record;
        record.sequence = expected;
        record.server_time = static_cast<int64_t>(getNumber(body, 8, 8));
        record.client_time = static_cast<int64_t>(getNumber(body, 16, 8));
        record.canvas_id = std::string(body.substr(FixedSize, canvas_size));
        record.user_name = std::string(body.substr(FixedSize + canvas_size, user_size));
        record.text = std::string(body.substr(FixedSize + canvas_size + user_size, text_size));
        records.push_back(std::move(record));
        ++expected;
        at += HeaderSize + size;
    }
    return records;
}

} // namespace velmo::server
