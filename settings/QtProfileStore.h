#pragma once

#include "platform/FileOps.h"
#include "settings/ProfileStore.h"
#include "settings/SettingsFile.h"

#include <QString>

#include <string>
#include <tuple>
#include <vector>

namespace settings {

// The per-user store of the desktop: the file
// <configuration home>/<organisation>/<application>.conf (on Linux
// ~/.config/<organisation>/<application>.conf), one section per section name,
// read and written by the rules of SettingsFile, so that a value reads as a
// person typed it. Every write reaches the file at once, so settings confirmed
// by the user survive a crash: the whole file is written under a new name
// beside it, flushed and renamed over the old one (a link at that name is
// replaced, never written through), keeping the old file's lines and mode.
//
// The file is read only when it is a regular file (a link to one is followed)
// of at most kLargestFile bytes. Anything else reads as the defaults and is
// never opened, so a FIFO cannot block the start; a save never writes into a
// FIFO, socket, device or directory, nor through a link to one, nor over a
// file the user may not write. A file that cannot be parsed, or is too large,
// is set aside under a new name beside it at the first save.
//
// A value written holds in memory for this run whether or not it reached the
// file; LastWriteError tells which.
class QtProfileStore final : public ProfileStore {
public:
    static constexpr long long kLargestFile = 1 << 20;

    QtProfileStore(const QString& organisation, const QString& application,
                   platform::FileOps& ops = platform::DefaultFileOps());

    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) override;
    std::int32_t GetInt(const std::string& section, const std::string& key,
                        std::int32_t defaultValue) override;
    bool WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool WriteInt(const std::string& section, const std::string& key, std::int32_t value) override;
    int LastWriteError() const override { return m_lastWriteError; }

    QString FileName() const { return QString::fromStdString(m_path); }

private:
    // What lies at the file's place now.
    enum class Entry {
        Missing,  // nothing: a save creates the file
        Readable, // a regular file that may be read
        TooLarge, // a regular file, too large to read
        Foreign,  // anything else, or a place that cannot be looked at
    };
    // `error` says why a Foreign entry is no place for the file.
    Entry Inspect(int& error) const;
    // Reads the file anew; 0 or an errno.
    int Read(Entry entry);
    // Puts the values written in this run and not yet in the file into the file;
    // 0 or an errno.
    int Flush();
    int SetFileAside();
    int Replace(const std::string& text);

    const std::string m_path;
    platform::FileOps& m_ops;
    SettingsFile m_file;
    bool m_unparsable = false;
    // Section, key, value of writes that have not reached the file yet.
    std::vector<std::tuple<std::string, std::string, std::string>> m_pending;
    int m_lastWriteError = 0;
};

} // namespace settings
