#include "platform/qt/qt_random_source.h"

#include <QRandomGenerator>

#include <cstring>
#include <vector>

namespace velmo::platform::qt {

std::string QtRandomSource::bytes(size_t size) {
    std::vector<quint32> words((size + 3) / 4);
    QRandomGenerator::system()->generate(words.begin(), words.end());
    std::string out(size, '\0');
    if (size > 0) {
        std::memcpy(out.data(), words.data(), size);
    }
    return out;
}

} // namespace velmo::platform::qt
