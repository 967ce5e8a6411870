#include "torture/ProgramTorture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

namespace torture {

void ProgramTorture::SetUp() {
    if (access("/dev/shm", W_OK) == 0) {
        m_otherDir.emplace("/dev/shm");
        m_otherRoot = m_otherDir->Path();
        struct stat a {
        }, b{};
        m_secondFs = stat(m_otherRoot.c_str(), &a) == 0 && stat(scene.root.c_str(), &b) == 0 &&
                     a.st_dev != b.st_dev;
    } else {
        m_otherRoot = scene.root + "/other";
        mkdir(m_otherRoot.c_str(), 0755);
    }
}

void ProgramTorture::TearDown() {
    e2e::EndToEndTest::TearDown();
    m_otherDir.reset();
}

std::string ProgramTorture::OtherFileSystemDir(const std::string& name) {
    return m_otherRoot + "/" + name;
}

bool ProgramTorture::LaunchTesmaro(const e2e::SettingsValues& changes) {
    e2e::SettingsValues values = scene.TestSettings();
    for (const auto& [key, value] : changes)
        values[key] = value;
    if (!scene.WriteSettings(values))
        return false;
    e2e::TesmaroProcess::Options options;
    options.workingDirectory = scene.root;
    options.environment = scene.Environment();
    options.outputPath = scene.output;
    tesmaro = std::make_unique<e2e::TesmaroProcess>(options);
    return tesmaro->Start();
}

void ProgramTorture::RandomPause(int lowMs, int highMs) {
    std::uniform_int_distribution<int> pick(lowMs, highMs - 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(pick(random)));
}

bool ProgramTorture::WaitForATick() {
    // With work waiting the status file stays; without, a planted one goes.
    if (!e2e::FilesIn(scene.queue).empty())
        return WaitFor([&] { return e2e::Exists(scene.statusFile); });
    return e2e::WriteFile(scene.statusFile, "") &&
           WaitFor([&] { return !e2e::Exists(scene.statusFile); });
}

bool IsResultFile(const std::string& name) {
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".rpt") == 0;
}

} // namespace torture
