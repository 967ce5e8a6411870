#include "platform/ProcessLauncher.h"

#include <cerrno>
#include <sys/wait.h>

namespace platform {

RunOutcome SpawningLauncher::RunAndWait(const ProcessRequest& request,
                                        std::chrono::milliseconds timeout) {
    m_reaper.ReapEnded();
    std::optional<ChildProcess> child = ChildProcess::Start(request);
    if (!child)
        return {RunOutcome::End::NotStarted, errno};
    if (!child->WaitFor(timeout)) {
        m_reaper.Adopt(std::move(*child));
        return {RunOutcome::End::StillRunning, 0};
    }
    const std::optional<int> status = child->ExitStatus();
    if (status && WIFSIGNALED(*status))
        return {RunOutcome::End::Killed, WTERMSIG(*status)};
    return {RunOutcome::End::Exited, status && WIFEXITED(*status) ? WEXITSTATUS(*status) : 0};
}

} // namespace platform
