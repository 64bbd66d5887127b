#pragma once

#include "platform/kept_file.h"

#include <string>
#include <string_view>

namespace velmo::platform {

// An append-only file beside the saved settings that keeps their changes between two full
// saves. Called on the UI thread only. A failed call changes nothing it reports and returns
// false; the caller goes on (the next full save still writes everything).
class JournalFile : public KeptFile {
public:
    // Adds `bytes` at the end. On return they are out of the process, so a kill of it keeps
    // them; only a crash of the machine may still lose them before `sync`. A crash in the
    // middle leaves a prefix of them.
    virtual bool append(std::string_view bytes) = 0;
    // Puts everything appended on permanent storage.
    virtual bool sync() = 0;
};

} // namespace velmo::platform
