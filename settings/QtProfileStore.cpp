#include "settings/QtProfileStore.h"

#include "settings/MemoryProfileStore.h"

#include <QByteArray>
#include <QStandardPaths>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace settings {

namespace {

QString UserSettingsPath(const QString& organisation, const QString& application) {
    // Where QSettings keeps a user's native settings on this desktop, without
    // the organisation-wide and system-wide files it also reads: only the
    // user's own file is this program's.
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1Char('/') + organisation + QLatin1Char('/') + application +
           QStringLiteral(".conf");
}

} // namespace

QtProfileStore::QtProfileStore(const QString& organisation, const QString& application)
    : m_path(UserSettingsPath(organisation, application)) {
    Open(Inspect());
}

QtProfileStore::Entry QtProfileStore::Inspect() const {
    // stat follows a link and never opens what it finds, so a FIFO is seen
    // for what it is without blocking.
    struct stat st {};
    if (stat(m_path.toLocal8Bit().constData(), &st) != 0)
        return errno == ENOENT ? Entry::Missing : Entry::Foreign;
    if (!S_ISREG(st.st_mode))
        return Entry::Foreign;
    return st.st_size > kLargestFile ? Entry::TooLarge : Entry::Readable;
}

void QtProfileStore::Open(Entry entry) {
    m_settings.reset();
    m_unparsable = entry == Entry::TooLarge;
    if (entry != Entry::Missing && entry != Entry::Readable)
        return;
    m_settings = std::make_unique<QSettings>(m_path, QSettings::NativeFormat);
    m_unparsable = m_settings->status() == QSettings::FormatError;
}

bool QtProfileStore::PrepareForWrite() {
    // The file may have been damaged, replaced or removed since it was read:
    // looking again (nothing of ours is pending) tells.
    const Entry entry = Inspect();
    if (entry == Entry::Foreign)
        return false;
    if (entry == Entry::Readable && m_settings) {
        m_settings->sync();
        m_unparsable = m_unparsable || m_settings->status() == QSettings::FormatError;
    } else {
        Open(entry);
    }
    return !m_unparsable || SetFileAside();
}

bool QtProfileStore::SetFileAside() {
    const QByteArray file = m_path.toLocal8Bit();
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
            m_settings = std::make_unique<QSettings>(m_path, QSettings::NativeFormat);
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
    const QVariant value = m_settings ? m_settings->value(Key(section, key)) : QVariant();
    if (!value.isValid())
        return defaultValue;
    return AsText(value).toStdString();
}

std::int32_t QtProfileStore::GetInt(const std::string& section, const std::string& key,
                                    std::int32_t defaultValue) {
    const QVariant value = m_settings ? m_settings->value(Key(section, key)) : QVariant();
    std::int32_t out = defaultValue;
    if (!value.isValid() || !ParseInt32(AsText(value).toStdString(), out))
        return defaultValue;
    return out;
}

bool QtProfileStore::Write(const std::string& section, const std::string& key,
                           const QVariant& value) {
    if (!PrepareForWrite() || !m_settings)
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
