#include "store/sqlite/stroke_journal.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// The first byte picks the first sequence number, the rest is a journal file as a crash may
// leave it. Whatever is read must encode back to exactly the bytes it was read from.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::server;
    if (size == 0) {
        return 0;
    }
    const uint64_t first = data[0];
    const std::string_view file(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto records = StrokeJournal::decode(file, first);
    std::string again;
    for (const JournalRecord& record : records) {
        if (record.sequence != first + static_cast<uint64_t>(&record - records.data())) {
            std::abort();
        }
        StrokeJournal::encode(again, record);
    }
    if (again.size() > file.size() || file.substr(0, again.size()) != again) {
        std::abort();
    }
    return 0;
}
