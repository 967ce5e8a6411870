#pragma once

#include "settings/ProfileStore.h"

#include <QSettings>
#include <QString>

#include <memory>

namespace settings {

// The per-user store of the desktop: QSettings in its native format under
// <organisation>/<application>, one group per section. On Linux this is
// ~/.config/<organisation>/<application>.conf. Every write reaches the file at
// once, so settings confirmed by the user survive a crash.
class QtProfileStore final : public ProfileStore {
public:
    QtProfileStore(const QString& organisation, const QString& application);

    std::string GetString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) override;
    std::int32_t GetInt(const std::string& section, const std::string& key,
                        std::int32_t defaultValue) override;
    bool WriteString(const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool WriteInt(const std::string& section, const std::string& key, std::int32_t value) override;

    QString FileName() const { return m_settings->fileName(); }

private:
    static QString Key(const std::string& section, const std::string& key);
    bool Write(const std::string& section, const std::string& key, const QVariant& value);
    // Before the first write over a file that could not be parsed, moves that
    // file aside under a new name beside it, so that a save never destroys
    // what a hand edit or a damaged disk left there. False when it cannot.
    bool SetUnparsableFileAside();

    const QString m_organisation;
    const QString m_application;
    // Made anew once a damaged file is set aside: QSettings keeps reporting a
    // format error for good once it has seen one.
    std::unique_ptr<QSettings> m_settings;
    bool m_unparsable = false;
};

} // namespace settings
