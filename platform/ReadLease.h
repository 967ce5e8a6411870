#pragma once

#include "platform/FileOps.h"

namespace platform {

// A read lease on a descriptor opened read-only. Linux lets a file be renamed,
// unlinked or read while another process is still writing it; the lease is how
// we learn of such a writer: taking it fails with EAGAIN while any descriptor
// open for writing exists, and while it is held a new writer's open waits and
// breaks it. Where leases are not permitted (another user's file, a file system
// without them) nothing is known and the caller goes on without this guard.
class ReadLease {
public:
    ReadLease(FileOps& ops, int fd);
    ~ReadLease() { Release(); }
    ReadLease(const ReadLease&) = delete;
    ReadLease& operator=(const ReadLease&) = delete;

    // Another process had the file open for writing when the lease was asked for.
    bool WriterActive() const { return m_writerActive; }
    // The lease is held: no other process had the file open for writing.
    bool Granted() const { return m_held; }
    // A writer has asked to open the file since the lease was taken.
    bool Broken() const;
    void Release();

private:
    FileOps* m_ops;
    int m_fd;
    bool m_held = false;
    bool m_writerActive = false;
};

} // namespace platform
