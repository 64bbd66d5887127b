#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::server {

// One appended stroke as the journal keeps it until the database has it.
struct JournalRecord {
    uint64_t sequence = 0;
    std::string canvas_id;
    int64_t server_time = 0;
    int64_t client_time = 0;
    std::string user_name;
    std::string text;

    bool operator==(const JournalRecord&) const = default;
};

// An append-only file of stroke records in front of the database: an append is durable once
// its record is written and flushed, which is far cheaper than a database transaction. The
// store copies the records into the database in large batches and then starts the file over.
//
// Each record is its size (4 bytes), a checksum of the rest (8 bytes), then the record
// itself; numbers little-endian. Records carry consecutive sequence numbers, so after a
// restart from the beginning of the file, the stale records behind the new ones are told
// apart from them; a record cut short by a crash fails its checksum.
class StrokeJournal {
public:
    // Opens or creates the file; nothing, with a reason in `error`, when that fails.
    static std::unique_ptr<StrokeJournal> open(const std::string& path, std::string* error);
    // Use open(); this takes the descriptor it opened.
    explicit StrokeJournal(int fd) : fd_(fd) {}
    ~StrokeJournal();
    StrokeJournal(const StrokeJournal&) = delete;
    StrokeJournal& operator=(const StrokeJournal&) = delete;

    // The records at the start of the file numbered `first`, `first + 1`, ..., up to the first
    // one that is missing, cut short, corrupt or out of sequence.
    std::vector<JournalRecord> recover(uint64_t first) const;

    // Writes encoded records after the ones written since the last restart. False when the
    // disk refused them; the next write then goes to the same place, and should reuse their
    // sequence numbers.
    bool write(std::string_view records);
    // Makes everything written so far durable. May run while another thread writes.
    bool flush() const;
    // The next write goes to the start of the file, over records no longer needed.
    void restart() { offset_ = 0; }

    // Appends one record to `out`.
    static void encode(std::string& out, const JournalRecord& record);
    static void encode(std::string& out, uint64_t sequence, std::string_view canvas_id,
                       int64_t server_time, int64_t client_time, std::string_view user_name,
                       std::string_view text);
    // The records of `bytes` as recover() reads them; never reads out of bounds.
    static std::vector<JournalRecord> decode(std::string_view bytes, uint64_t first);

private:
    int fd_;
    uint64_t offset_ = 0;
};

} // namespace velmo::server
