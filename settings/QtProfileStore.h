#pragma once

#include "settings/ProfileStore.h"

#include <QSettings>
#include <QString>

#include <memory>

namespace settings {

// The per-user store of the desktop: a QSettings file in its native format,
// <configuration home>/<organisation>/<application>.conf (on Linux
// ~/.config/<organisation>/<application>.conf), one group per section. Every
// write reaches the file at once, so settings confirmed by the user survive a
// crash.
//
// The file is read only when it is a regular file (a link to one is followed)
// of at most kLargestFile bytes. Anything else reads as the defaults and is
// never opened, so a FIFO cannot block the start; a save never writes into a
// FIFO, socket, device or directory, nor through a link to one. A file too
// large is kept like one that cannot be parsed: set aside at the first save.
class QtProfileStore final : public ProfileStore {
public:
    static constexpr long long kLargestFile = 1 << 20;

    QtProfileStore(const QString& organisation, const QString& application);

    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) override;
    std::int32_t GetInt(const std::string& section, const std::string& key,
                        std::int32_t defaultValue) override;
    bool WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool WriteInt(const std::string& section, const std::string& key, std::int32_t value) override;

    QString FileName() const { return m_path; }

private:
    // What lies at the file's place now.
    enum class Entry {
        Missing,  // nothing: a save creates the file
        Readable, // a regular file that may be read
        TooLarge, // a regular file, too large to read
        Foreign,  // anything else, or a place that cannot be looked at
    };
    Entry Inspect() const;
    // Reads the file anew when it may be read; else reads nothing.
    void Open(Entry entry);
    static QString Key(const std::string& section, const std::string& key);
    bool Write(const std::string& section, const std::string& key, const QVariant& value);
    // Before a write: false when the file's place must not be written to.
    // A file that could not be parsed, or is too large, is first moved aside
    // under a new name beside it, so that a save never destroys what a hand
    // edit or a damaged disk left there.
    bool PrepareForWrite();
    bool SetFileAside();

    const QString m_path;
    // Empty while nothing was read: the defaults apply. Made anew once a
    // damaged file is set aside: QSettings keeps reporting a format error for
    // good once it has seen one.
    std::unique_ptr<QSettings> m_settings;
    bool m_unparsable = false;
};

} // namespace settings
