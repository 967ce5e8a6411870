#pragma once

#include "support/TempDir.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace e2e {

using Names = std::vector<std::string>;
using SettingsValues = std::map<std::string, std::string>;

// A private tree for one run of the real programs: the queue, Processed and
// Failed directories, the semaphore files, the settings home, the state home
// (the record of runs under way), the runtime directory (instance lock), the
// suite's socket and log. Removed with its contents when the object goes away.
class Scene {
public:
    Scene();

private:
    testsupport::TempDir m_root; // first: every path below lies inside it

public:
    const std::string root;
    const std::string queue;     // exists
    const std::string processed; // created by the program when it files
    const std::string failed;    // created by the program when it files
    const std::string configHome;
    const std::string stateHome;  // exists, mode 0700; the same across restarts
    const std::string runtimeDir; // exists, mode 0700
    const std::string socket;
    const std::string simLog;
    const std::string statusFile;
    const std::string abortFile;
    const std::string output; // the program's stdout and stderr

    // The settings the tests start from: this tree's directories and
    // semaphore files, a settle time of one second, no viewer.
    SettingsValues TestSettings() const;
    // Writes the settings file of the [Settings] section, replacing it.
    bool WriteSettings(const SettingsValues& values) const;
    std::string SettingsFile() const;

    // The environment the program runs in: its settings home, state home,
    // runtime directory, the suite's socket, offscreen.
    std::vector<std::pair<std::string, std::string>> Environment() const;

    // Creates a file in the queue directory with its content in one write,
    // as another program drops a batch; its path.
    std::string Drop(const std::string& name, const std::string& content) const;
    // Drops files one after the other, each created in a later whole second
    // than the one before, so that their creation times order them.
    void DropInSuccessiveSeconds(const std::vector<std::pair<std::string, std::string>>& files);
    // The newest creation second of the files dropped so far.
    std::int64_t LastCreation() const { return m_lastCreation; }

private:
    std::int64_t m_lastCreation = 0;
};

// Regular files of a directory, sorted by name; empty when it does not exist.
Names FilesIn(const std::string& dir);
bool Exists(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// The creation second of a file as the program sees it: the birth time, or the
// status-change time where the file system has none; -1 when it is missing.
std::int64_t CreationSecond(const std::string& path);
std::int64_t NowSeconds();
double NowFractional();
// The name of a path after its last "/".
std::string BaseName(const std::string& path);

} // namespace e2e
