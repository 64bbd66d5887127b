#pragma once

#include "platform/journal_file.h"

#include <QFile>
#include <QString>

namespace velmo::platform::qt {

// The journal as a file of its own (or any file kept beside the settings). Appends go straight to
// the operating system (no buffer in the process), so a killed process keeps every completed
// append; `sync` is fsync.
class QtJournalFile : public JournalFile {
public:
    explicit QtJournalFile(QString file_path);
    QtJournalFile(const QtJournalFile&) = delete;
    QtJournalFile& operator=(const QtJournalFile&) = delete;

    // The journal of the settings file `settings_path`: the same name with ".journal" added.
    static QString besideSettings(const QString& settings_path);
    // The kept picture of its layers (replaced whole only): ".layers" added.
    static QString picturesBeside(const QString& settings_path);

    std::string readAll() override;
    bool append(std::string_view bytes) override;
    bool sync() override;
    bool replace(std::string_view bytes) override;

private:
    bool openForAppend();

    QString path;
    QFile file;
};

} // namespace velmo::platform::qt
