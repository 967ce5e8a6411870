#include "settings/QtProfileStore.h"

#include "settings/MemoryProfileStore.h"

#include <QByteArray>
#include <QStringList>

#include <unistd.h>

#include <cerrno>
#include <string>

namespace settings {

QtProfileStore::QtProfileStore(const QString& organisation, const QString& application)
    : m_organisation(organisation), m_application(application),
      m_settings(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             organisation, application)),
      m_unparsable(m_settings->status() == QSettings::FormatError) {}

bool QtProfileStore::SetUnparsableFileAside() {
    // The file may have been damaged or replaced since it was read: reading it
    // again (nothing of ours is pending) tells.
    m_settings->sync();
    m_unparsable = m_unparsable || m_settings->status() == QSettings::FormatError;
    if (!m_unparsable)
        return true;
    const QByteArray file = m_settings->fileName().toLocal8Bit();
    // A hard link under a name not yet taken, then the old name goes: the
    // damaged content stays whole under the new name, and nothing is replaced.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string aside = file.toStdString() + ".unparsable";
        if (attempt > 0)
            aside += "." + std::to_string(attempt);
        const bool linked = link(file.constData(), aside.c_str()) == 0;
        // ENOENT: gone meanwhile, nothing left to keep.
        if (linked || errno == ENOENT) {
            if (linked)
                unlink(file.constData());
            m_settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                                     m_organisation, m_application);
            m_unparsable = false;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

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
    const QVariant value = m_settings->value(Key(section, key));
    if (!value.isValid())
        return defaultValue;
    return AsText(value).toStdString();
}

std::int32_t QtProfileStore::GetInt(const std::string& section, const std::string& key,
                                    std::int32_t defaultValue) {
    const QVariant value = m_settings->value(Key(section, key));
    std::int32_t out = defaultValue;
    if (!value.isValid() || !ParseInt32(AsText(value).toStdString(), out))
        return defaultValue;
    return out;
}

bool QtProfileStore::Write(const std::string& section, const std::string& key,
                           const QVariant& value) {
    if (!SetUnparsableFileAside())
        return false;
    m_settings->setValue(Key(section, key), value);
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
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
