#include "settings/QtProfileStore.h"

#include "settings/MemoryProfileStore.h"

#include <QStringList>

namespace settings {

QtProfileStore::QtProfileStore(const QString& organisation, const QString& application)
    : m_settings(QSettings::NativeFormat, QSettings::UserScope, organisation, application) {}

QString QtProfileStore::Key(const std::string& section, const std::string& key) {
    return QString::fromStdString(section) + QLatin1Char('/') + QString::fromStdString(key);
}

static QString AsText(const QVariant& value) {
    // A hand-edited file may hold an unquoted comma, which reads as a list.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

std::string QtProfileStore::GetString(const std::string& section, const std::string& key,
                                      const std::string& defaultValue) {
    const QVariant value = m_settings.value(Key(section, key));
    if (!value.isValid())
        return defaultValue;
    return AsText(value).toStdString();
}

std::int32_t QtProfileStore::GetInt(const std::string& section, const std::string& key,
                                    std::int32_t defaultValue) {
    const QVariant value = m_settings.value(Key(section, key));
    std::int32_t out = defaultValue;
    if (!value.isValid() || !ParseInt32(AsText(value).toStdString(), out))
        return defaultValue;
    return out;
}

bool QtProfileStore::Write(const std::string& section, const std::string& key,
                           const QVariant& value) {
    m_settings.setValue(Key(section, key), value);
    m_settings.sync();
    return m_settings.status() == QSettings::NoError;
}

bool QtProfileStore::WriteString(const std::string& section, const std::string& key,
                                 const std::string& value) {
    return Write(section, key, QString::fromStdString(value));
}

bool QtProfileStore::WriteInt(const std::string& section, const std::string& key,
                              std::int32_t value) {
    return Write(section, key, value);
}

} // namespace settings
