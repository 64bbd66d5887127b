#include "platform/qt/qt_journal_file.h"

#include <QSaveFile>

#include <unistd.h>

namespace velmo::platform::qt {

QtJournalFile::QtJournalFile(QString file_path) : path(std::move(file_path)), file(path) {}

QString QtJournalFile::besideSettings(const QString& settings_path) {
    return settings_path + QStringLiteral(".journal");
}

QString QtJournalFile::picturesBeside(const QString& settings_path) {
    return settings_path + QStringLiteral(".layers");
}

std::string QtJournalFile::readAll() {
    QFile reader(path);
    if (!reader.open(QIODevice::ReadOnly)) {
        return {};
    }
    return reader.readAll().toStdString();
}

bool QtJournalFile::openForAppend() {
    return file.isOpen() ||
           file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
}

bool QtJournalFile::append(std::string_view bytes) {
    if (!openForAppend()) {
        return false;
    }
    const auto size = static_cast<qint64>(bytes.size());
    return file.write(bytes.data(), size) == size;
}

bool QtJournalFile::sync() {
    return file.isOpen() && ::fsync(file.handle()) == 0;
}

bool QtJournalFile::replace(std::string_view bytes) {
    // The open handle would go on writing into the file that the rename replaces.
    file.close();
    QSaveFile writer(path);
    if (!writer.open(QIODevice::WriteOnly)) {
        return false;
    }
    writer.write(bytes.data(), static_cast<qint64>(bytes.size()));
    return writer.commit();
}

} // namespace velmo::platform::qt
