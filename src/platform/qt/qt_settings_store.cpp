#include "platform/qt/qt_settings_store.h"

#include <QSettings>
#include <QVariant>

namespace velmo::platform::qt {
namespace {

const QString ListEntry = QStringLiteral("value");

QString keyOf(const std::string& key) {
    return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
}

QVariant storedForm(const std::string& value) {
    const QByteArray bytes = QByteArray::fromStdString(value);
    const QString text = QString::fromUtf8(bytes);
    if (text.toUtf8() == bytes) {
        return text;
    }
    return bytes;
}

std::optional<std::string> readString(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString().toStdString();
    case QMetaType::QByteArray:
        return value.toByteArray().toStdString();
    default:
        return std::nullopt;
    }
}

} // namespace

QtSettingsStore::QtSettingsStore(const QString& file_path)
    : settings(file_path.isEmpty()
                   ? std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                                 QStringLiteral("Velmorastra"),
                                                 QStringLiteral("velmorastra"))
                   : std::make_unique<QSettings>(file_path, QSettings::IniFormat)) {
    settings->setAtomicSyncRequired(true);
    // A change posts QSettings an event that, where it is handled, reads the file again when
    // it changed on disk and writes it: on the UI thread, for a file a writer thread has just
    // replaced, that is a parse of the whole history in the middle of drawing. Without a
    // thread the event is dropped; every write here ends with an explicit sync anyway.
    settings->moveToThread(nullptr);
}

QtSettingsStore::~QtSettingsStore() = default;

std::optional<std::string> QtSettingsStore::stringValue(const std::string& key) const {
    return readString(settings->value(keyOf(key)));
}

std::optional<std::vector<std::string>> QtSettingsStore::stringList(const std::string& key) const {
    const QString name = keyOf(key);
    if (!settings->childGroups().contains(name)) {
        return std::nullopt;
    }
    const int size = settings->beginReadArray(name);
    std::vector<std::string> values;
    values.reserve(static_cast<size_t>(std::max(size, 0)));
    for (int i = 0; i < size; ++i) {
        settings->setArrayIndex(i);
        if (auto value = readString(settings->value(ListEntry))) {
            values.push_back(std::move(*value));
        }
    }
    settings->endArray();
    return values;
}

void QtSettingsStore::setString(const std::string& key, const std::string& value) {
    const QString name = keyOf(key);
    settings->remove(name);
    settings->setValue(name, storedForm(value));
}

void QtSettingsStore::setStringList(const std::string& key,
                                    const std::vector<std::string>& values) {
    const QString name = keyOf(key);
    settings->remove(name);
    settings->beginWriteArray(name, static_cast<int>(values.size()));
    for (size_t i = 0; i < values.size(); ++i) {
        settings->setArrayIndex(static_cast<int>(i));
        settings->setValue(ListEntry, storedForm(values[i]));
    }
    settings->endArray();
}

void QtSettingsStore::synchronize() {
    settings->sync();
    sync_ok = settings->status() == QSettings::NoError;
}

QString QtSettingsStore::fileName() const {
    return settings->fileName();
}

} // namespace velmo::platform::qt
