#pragma once

#include "platform/journal_file.h"

#include <string>
#include <string_view>

namespace velmo::testing {

// A journal file in memory. `contents` is what a crash would leave once appends are out of
// the process; `synced` is how much of it would survive the machine going down.
class MemoryJournalFile : public platform::JournalFile {
public:
    std::string readAll() override { return contents; }
    bool append(std::string_view bytes) override {
        ++appends;
        contents += bytes;
        return true;
    }
    bool sync() override {
        ++syncs;
        synced = contents.size();
        return true;
    }
    bool replace(std::string_view bytes) override {
        ++replacements;
        contents = bytes;
        synced = contents.size();
        return true;
    }

    std::string contents;
    size_t synced = 0;
    int appends = 0;
    int syncs = 0;
    int replacements = 0;
};

} // namespace velmo::testing
