#include "engine/WriterCheck.h"

#include "platform/ReadLease.h"

namespace engine {

bool StillBeingWritten(platform::FileOps& ops, int fd, const platform::WriterView* writers,
                       const std::string& queueDir, const std::string& name) {
    const platform::ReadLease lease(ops, fd);
    if (lease.WriterActive())
        return true;
    if (lease.Granted())
        return false;
    return writers != nullptr &&
           writers->BeingWritten(queueDir, name) == platform::WriterView::Writing::Yes;
}

} // namespace engine
