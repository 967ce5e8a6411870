#pragma once

#include "platform/FileOps.h"

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// The real file calls, with single steps made to fail on request, and a log
// of the calls that name a path.
class FaultyFileOps final : public platform::SystemFileOps {
public:
    enum class Op {
        Open,
        Read,
        Write,
        Fsync,
        Close,
        Fstat,
        Lstat,
        Rename,
        Unlink,
        Mkdir,
        SetLease,
        Lseek,
        Ftruncate,
        Link,
        SetAttribute,
        Futimens,
        ReadDirectory,
        ReadDirectoryPart
    };

    struct Fault {
        Fault(Op failing, int errorCode, int nth = 1, std::string inPath = {})
            : op(failing), error(errorCode), occurrence(nth), pathContains(std::move(inPath)) {}

        Op op;
        int error;
        // Which matching call fails, counted from 1; 0 fails every one.
        int occurrence = 1;
        // Only calls whose path (for Rename: its source; for Link: its target;
        // for Close and ReadDirectoryPart: the path the descriptor was opened
        // with) contains this count.
        std::string pathContains;
    };

    void Inject(Fault fault) {
        m_faults.push_back(std::move(fault));
        m_seen.push_back(0);
    }
    // The faults end: every call from now on is the real one.
    void ClearFaults() {
        m_faults.clear();
        m_seen.clear();
    }
    // Calls so far of one operation (whether they failed or not).
    int Calls(Op op) const;
    // "Rename <from> -> <to>", "Unlink <path>", "Open <path>", ...
    const std::vector<std::string>& PathLog() const { return m_log; }
    // The names that ReadDirectoryPart has visited so far.
    long NamesReadInParts() const { return m_namesRead; }

    int Open(const char* path, int flags, mode_t mode = 0) override;
    ssize_t Read(int fd, void* buf, size_t count) override;
    ssize_t Write(int fd, const void* buf, size_t count) override;
    int Fsync(int fd) override;
    int Close(int fd) override;
    int Fstat(int fd, struct stat* st) override;
    int Lstat(const char* path, struct stat* st) override;
    int Rename(const char* from, const char* to) override;
    int Unlink(const char* path) override;
    int Mkdir(const char* path, mode_t mode) override;
    int SetLease(int fd, int type) override;
    off_t Lseek(int fd, off_t offset, int whence) override;
    int Ftruncate(int fd, off_t length) override;
    int Futimens(int fd, const struct timespec times[2]) override;
    // A failing read still closes the descriptor, as the real one does.
    int ReadDirectory(int fd, const std::function<void(const char* name)>& visit) override;
    int ReadDirectoryPart(int fd, const std::function<void(const char* name)>& visit,
                          int maxEntries) override;
    int LinkUnnamed(int fd, const char* to) override;
    int SetAttribute(int fd, const char* name, const void* value, size_t size) override;

private:
    // True (with errno set) when this call is to fail.
    bool Fails(Op op, const char* path);

    std::vector<Fault> m_faults;
    std::vector<int> m_seen; // matching calls so far, per fault
    std::map<Op, int> m_calls;
    std::vector<std::string> m_log;
    std::map<int, std::string> m_openPaths; // by descriptor
    long m_namesRead = 0;
};

} // namespace testsupport
