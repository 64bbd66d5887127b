#pragma once

#include <string>
#include <string_view>

namespace velmo::platform {

// A file beside the saved settings, read and replaced whole. A failed call changes nothing it
// reports; the caller goes on without the file.
class KeptFile {
public:
    virtual ~KeptFile() = default;
    // The whole contents; empty when there is no file.
    virtual std::string readAll() = 0;
    // Replaces the contents as a whole: a crash leaves the old or the new ones.
    virtual bool replace(std::string_view bytes) = 0;
};

} // namespace velmo::platform
