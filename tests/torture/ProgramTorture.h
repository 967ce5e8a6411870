#pragma once

#include "e2e/EndToEndTest.h"
#include "support/TempDir.h"
#include "torture/TortureSupport.h"

#include <optional>
#include <random>
#include <string>

namespace torture {

// The real Tesmaro and the simulated suite in one private scene, as the
// end-to-end tests run them, with what the torture tests add: a second file
// system for the filing directories, random waits, and the check that no
// dropped file was lost.
class ProgramTorture : public e2e::EndToEndTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A directory on another file system than the queue (/dev/shm), or one on
    // the same when there is none; removed at the end.
    std::string OtherFileSystemDir(const std::string& name);
    // True when OtherFileSystemDir really is on another file system.
    bool HaveSecondFileSystem() const { return m_secondFs; }

    // Writes the test settings with these changes and starts Tesmaro without
    // waiting for anything: with batches waiting, its first ticks may already
    // be submitting and filing them. (StartTesmaro waits for an empty queue.)
    bool LaunchTesmaro(const e2e::SettingsValues& changes);

    // Waits a random time in [lowMs, highMs).
    void RandomPause(int lowMs, int highMs);
    // Waits until Tesmaro has run a tick: it removes a status file that is
    // there while it has no work, or keeps it while it has.
    bool WaitForATick();

    std::mt19937 random{Seed()};

private:
    std::optional<testsupport::TempDir> m_otherDir; // on /dev/shm when writable
    std::string m_otherRoot;
    bool m_secondFs = false;
};

// Planted files with breaches tolerated for the result files the suite writes.
bool IsResultFile(const std::string& name);

} // namespace torture
