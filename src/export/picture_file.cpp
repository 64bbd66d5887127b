#include "export/picture_file.h"

#include "export/open_raster.h"
#include "png/png_encoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace velmo::exporting {
namespace {

bool endsWithIgnoringCase(std::string_view text, std::string_view end) {
    if (text.size() < end.size()) {
        return false;
    }
    text.remove_prefix(text.size() - end.size());
    for (size_t i = 0; i < end.size(); ++i) {
        const char c =
            text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        if (c != end[i]) {
            return false;
        }
    }
    return true;
}

std::string cannotWrite(const std::string& path, int error) {
    return "Cannot write " + path + ": " + std::strerror(error) + ".";
}

// Closes the descriptor, and removes the file under construction unless it was kept.
class PartFile {
public:
    explicit PartFile(std::string path_) : path(std::move(path_)) {
        std::vector<char> name(path.begin(), path.end());
        name.push_back('\0');
        fd = mkstemp(name.data());
        made = fd >= 0;
        path.assign(name.data());
    }
    ~PartFile() {
        if (fd >= 0) {
            close(fd);
        }
        if (made && !kept) {
            unlink(path.c_str());
        }
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    bool opened() const { return fd >= 0; }
    int descriptor() const { return fd; }
    const std::string& name() const { return path; }
    // Closes it; false (errno set) when the data did not reach the file.
    bool closeFile() {
        const int result = close(fd);
        fd = -1;
        return result == 0;
    }
    void keep() { kept = true; }

private:
    std::string path;
    int fd = -1;
    bool made = false;
    bool kept = false;
};

} // namespace

std::optional<PictureFormat> formatOfFileName(std::string_view name) {
    for (const PictureFormat format : {PictureFormat::Png, PictureFormat::OpenRaster}) {
        const std::string_view extension = extensionOf(format);
        if (name.size() > extension.size() && endsWithIgnoringCase(name, extension) &&
            name[name.size() - extension.size() - 1] != '/') {
            return format;
        }
    }
    return std::nullopt;
}

std::string_view extensionOf(PictureFormat format) {
    return format == PictureFormat::Png ? ".png" : ".ora";
}

std::string withExtension(std::string_view name, PictureFormat format) {
    if (formatOfFileName(name) == format) {
        return std::string(name);
    }
    return std::string(name) + std::string(extensionOf(format));
}

std::optional<std::string> pictureFile(const canvas::LayerSurfaces& layers, PictureFormat format,
                                       const ProgressFunction& progress) {
    if (format == PictureFormat::OpenRaster) {
        return openRasterFile(layers, progress);
    }
    if (progress && !progress(0.0)) {
        return std::nullopt;
    }
    auto file = png::encodePng(composedPicture(layers));
    if (progress && !progress(1.0)) {
        return std::nullopt;
    }
    return file;
}

std::optional<std::string> writeFileAtomically(const std::string& path, std::string_view bytes) {
    if (path.empty()) {
        return "No file name was given.";
    }
    struct stat existing {};
    if (stat(path.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            return cannotWrite(path, EISDIR);
        }
        // The rename would replace a file that its owner made read-only.
        if (access(path.c_str(), W_OK) != 0) {
            return cannotWrite(path, errno);
        }
    }
    PartFile part(path + ".part-XXXXXX");
    if (!part.opened()) {
        return cannotWrite(path, errno);
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(part.descriptor(), bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return cannotWrite(path, n < 0 ? errno : ENOSPC);
        }
        written += static_cast<size_t>(n);
    }
    // Readable by others, as a picture made by open() under the usual umask would be, not
    // mkstemp's owner-only (reading the umask would change it for every thread).
    if (fchmod(part.descriptor(), 0644) != 0 || fsync(part.descriptor()) != 0 ||
        !part.closeFile()) {
        return cannotWrite(path, errno);
    }
    if (rename(part.name().c_str(), path.c_str()) != 0) {
        return cannotWrite(path, errno);
    }
    part.keep();
    return std::nullopt;
}

} // namespace velmo::exporting
