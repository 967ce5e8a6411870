#include "platform/ProcessLauncher.h"

namespace platform {

bool SpawningLauncher::RunAndWait(const ProcessRequest& request,
                                  std::chrono::milliseconds timeout) {
    m_reaper.ReapEnded();
    std::optional<ChildProcess> child = ChildProcess::Start(request);
    if (!child)
        return false;
    if (!child->WaitFor(timeout))
        m_reaper.Adopt(std::move(*child));
    return true;
}

} // namespace platform
