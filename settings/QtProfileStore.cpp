#include "settings/QtProfileStore.h"

#include "platform/DurableWrite.h"
#include "settings/MemoryProfileStore.h"

#include <QStandardPaths>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace settings {

namespace {

std::string UserSettingsPath(const QString& organisation, const QString& application) {
    // The user's own file only: no organisation-wide or system-wide file.
    return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QLatin1Char('/') + organisation + QLatin1Char('/') + application +
            QStringLiteral(".conf"))
        .toStdString();
}

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

QtProfileStore::QtProfileStore(const QString& organisation, const QString& application,
                               platform::FileOps& ops)
    : m_path(UserSettingsPath(organisation, application)), m_ops(ops) {
    int error = 0;
    Read(Inspect(error));
}

QtProfileStore::Entry QtProfileStore::Inspect(int& error) const {
    // stat follows a link and never opens what it finds, so a FIFO is seen
    // for what it is without blocking.
    struct stat st {};
    if (stat(m_path.c_str(), &st) != 0) {
        error = errno;
        return errno == ENOENT ? Entry::Missing : Entry::Foreign;
    }
    if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return Entry::Foreign;
    }
    return st.st_size > kLargestFile ? Entry::TooLarge : Entry::Readable;
}

int QtProfileStore::Read(Entry entry) {
    m_file = SettingsFile();
    m_unparsable = entry == Entry::TooLarge;
    if (entry != Entry::Readable)
        return 0;
    platform::FileHandle file(
        m_ops, m_ops.Open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!file.IsOpen() || m_ops.Fstat(file.Get(), &st) != 0)
        return errno;
    // Replaced since it was looked at: read only what is still a small file.
    if (!S_ISREG(st.st_mode) || st.st_size > kLargestFile) {
        m_unparsable = S_ISREG(st.st_mode);
        return S_ISREG(st.st_mode) ? 0 : EINVAL;
    }
    std::string bytes;
    char block[8192];
    for (;;) {
        const ssize_t got = m_ops.Read(file.Get(), block, sizeof block);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            break;
        bytes.append(block, static_cast<std::size_t>(got));
        if (bytes.size() > static_cast<std::size_t>(kLargestFile)) {
            m_unparsable = true;
            return 0;
        }
    }
    m_file = SettingsFile(bytes);
    m_unparsable = m_file.Unparsable();
    return 0;
}

std::string QtProfileStore::GetString(const std::string& section, const std::string& key,
                                      const std::string& defaultValue) {
    return m_file.Get(section, key).value_or(defaultValue);
}

std::int32_t QtProfileStore::GetInt(const std::string& section, const std::string& key,
                                    std::int32_t defaultValue) {
    const std::optional<std::string> text = m_file.Get(section, key);
    std::int32_t out = defaultValue;
    if (!text || !ParseInt32(*text, out))
        return defaultValue;
    return out;
}

bool QtProfileStore::WriteString(const std::string& section, const std::string& key,
                                 const std::string& value) {
    if (!m_file.Set(section, key, value)) {
        m_lastWriteError = EINVAL; // no line can hold it
        return false;
    }
    bool replaced = false;
    for (auto& [s, k, v] : m_pending) {
        if (s == section && k == key) {
            v = value;
            replaced = true;
        }
    }
    if (!replaced)
        m_pending.emplace_back(section, key, value);
    m_lastWriteError = Flush();
    return m_lastWriteError == 0;
}

bool QtProfileStore::WriteInt(const std::string& section, const std::string& key,
                              std::int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

int QtProfileStore::Flush() {
    // The file may have been edited, damaged, replaced or removed since it was
    // read: it is read again, and this run's writes are put over it.
    int error = 0;
    const Entry entry = Inspect(error);
    if (entry != Entry::Foreign)
        error = Read(entry);
    if (error == 0 && m_unparsable)
        error = SetFileAside();
    for (const auto& [section, key, value] : m_pending)
        m_file.Set(section, key, value);
    if (error != 0)
        return error;
    error = Replace(m_file.Text());
    if (error == 0)
        m_pending.clear();
    return error;
}

int QtProfileStore::SetFileAside() {
    // A hard link under a name not yet taken, then the old name goes: the
    // damaged content stays whole under the new name, and nothing is replaced.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string aside = m_path + ".unparsable";
        if (attempt > 0)
            aside += "." + std::to_string(attempt);
        const bool linked = link(m_path.c_str(), aside.c_str()) == 0;
        // ENOENT: gone meanwhile, nothing left to keep.
        if (linked || errno == ENOENT) {
            if (linked)
                m_ops.Unlink(m_path.c_str());
            m_file = SettingsFile();
            m_unparsable = false;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

int QtProfileStore::Replace(const std::string& text) {
    const std::string dir = DirectoryOf(m_path);
    std::error_code made;
    std::filesystem::create_directories(dir, made);
    if (made)
        return made.value() == EEXIST ? ENOTDIR : made.value();
    // A file the user may not write is left alone, as a write into it would
    // be refused; a regular file's mode passes to the new one.
    mode_t mode = 0666;
    bool keepMode = false;
    struct stat st {};
    if (m_ops.Lstat(m_path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        platform::FileHandle probe(
            m_ops, m_ops.Open(m_path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        if (!probe.IsOpen())
            return errno;
        mode = st.st_mode & 07777;
        keepMode = true;
    }
    const std::string name = m_path.substr(dir.size() + 1);
    int attempt = 0;
    std::string temporary;
    platform::FileHandle file(m_ops, platform::CreateExclusive(
                                         m_ops, dir,
                                         [&] {
                                             return "." + name + ".new." +
                                                    std::to_string(getpid()) + "." +
                                                    std::to_string(attempt++);
                                         },
                                         mode, temporary));
    if (!file.IsOpen())
        return errno;
    const auto fail = [&] {
        const int error = errno;
        file.Close();
        m_ops.Unlink(temporary.c_str());
        return error;
    };
    if ((keepMode && m_ops.Fchmod(file.Get(), mode) != 0) ||
        !platform::WriteAll(m_ops, file.Get(), text.data(), text.size()) ||
        m_ops.Fsync(file.Get()) != 0 || file.Close() != 0 ||
        m_ops.Rename(temporary.c_str(), m_path.c_str()) != 0)
        return fail();
    return platform::SyncDirectory(m_ops, dir) ? 0 : errno;
}

} // namespace settings
