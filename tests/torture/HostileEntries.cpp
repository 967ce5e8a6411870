#include "torture/HostileEntries.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

namespace torture {

NonRegularEntries PlantNonRegular(const std::string& queue, const std::string& outsideDir) {
    NonRegularEntries e;
    e.outsideFile = outsideDir + "/outside.txt";
    e.outsideContent = "not a batch of this queue\n";
    Plant(e.outsideFile, e.outsideContent);
    mkfifo((queue + "/F.olb").c_str(), 0644);
    symlink("/dev/zero", (queue + "/L.olb").c_str());
    symlink(e.outsideFile.c_str(), (queue + "/LOutside.olb").c_str());
    symlink((outsideDir + "/nowhere").c_str(), (queue + "/LNowhere.olb").c_str());
    mkdir((queue + "/D.olb").c_str(), 0755);
    e.names = {"F.olb", "L.olb", "LOutside.olb", "LNowhere.olb", "D.olb"};
    return e;
}

std::vector<std::string> NonRegularChanged(const std::string& queue,
                                           const NonRegularEntries& entries) {
    std::vector<std::string> changed;
    const auto kind = [&](const std::string& name) {
        struct stat st {};
        return lstat((queue + "/" + name).c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
    };
    if (kind("F.olb") != S_IFIFO)
        changed.push_back("F.olb is no longer a FIFO");
    for (const char* link : {"L.olb", "LOutside.olb", "LNowhere.olb"})
        if (kind(link) != S_IFLNK)
            changed.push_back(std::string(link) + " is no longer a link");
    if (kind("D.olb") != S_IFDIR)
        changed.push_back("D.olb is no longer a directory");
    FileFacts facts;
    if (!Facts(entries.outsideFile, facts) ||
        !(facts == FileFacts{entries.outsideContent.size(), Checksum(entries.outsideContent)}))
        changed.push_back("the file outside the queue changed");
    return changed;
}

Planted PlantHostileRegular(const std::string& queue, std::uint64_t largeSize, std::uint32_t seed) {
    Planted planted;
    // Sparse: a gigabyte costs no disk, and reading it still costs the time.
    {
        const std::string marker = "[OAQUAN]";
        const std::string path = queue + "/" + kLargeMarkedName;
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            if (ftruncate(fd, static_cast<off_t>(largeSize - marker.size())) == 0 &&
                lseek(fd, 0, SEEK_END) >= 0 &&
                write(fd, marker.data(), marker.size()) == static_cast<ssize_t>(marker.size())) {
            }
            close(fd);
        }
        FileFacts facts;
        Facts(path, facts);
        planted[kLargeMarkedName] = facts;
    }
    std::mt19937 random(seed);
    std::string bytes(64 * 1024, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random());
    planted["Random.olb"] = Plant(queue + "/Random.olb", bytes);
    planted["Empty.olb"] = Plant(queue + "/Empty.olb", "");
    const std::string longName = std::string(251, 'n') + ".olb";
    const std::vector<std::string> names = {"with blanks in it.olb",
                                            "say \"hello\".olb",
                                            "line\nfeed.olb",
                                            "-leading-dash.olb",
                                            longName,
                                            "\xff\xfe\xc0 not utf8.olb"};
    for (const std::string& name : names)
        planted[name] = Plant(queue + "/" + name, "Sample list of " + name + "\nS1\n");
    return planted;
}

WriterHolder::WriterHolder(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 3, path.c_str(), O_WRONLY | O_APPEND, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    char program[] = "/bin/sleep";
    char seconds[] = "600";
    char* argv[] = {program, seconds, nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program, &actions, nullptr, argv, envp) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

WriterHolder::~WriterHolder() {
    Release();
}

void WriterHolder::Release() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

} // namespace torture
