#include "platform/ReadLease.h"

#include <fcntl.h>

#include <cerrno>
#include <csignal>

namespace platform {

ReadLease::ReadLease(FileOps& ops, int fd) : m_ops(&ops), m_fd(fd) {
    // A lease break is announced by a signal, SIGIO unless told otherwise, and
    // SIGIO ends the process. SIGURG is ignored unless someone handles it.
    fcntl(fd, F_SETSIG, SIGURG);
    if (m_ops->SetLease(fd, F_RDLCK) == 0)
        m_held = true;
    else
        m_writerActive = errno == EAGAIN;
}

bool ReadLease::Broken() const {
    // While a break is pending the lease reports the type it is being broken to.
    return m_held && m_ops->GetLease(m_fd) != F_RDLCK;
}

void ReadLease::Release() {
    if (!m_held)
        return;
    m_held = false;
    m_ops->SetLease(m_fd, F_UNLCK);
}

} // namespace platform
