#include "platform/ProcessLauncher.h"

#include <cerrno>
#include <poll.h>
#include <sys/wait.h>

namespace platform {

RunOutcome SpawningLauncher::RunAndWait(const ProcessRequest& request,
                                        std::chrono::milliseconds timeout) {
    m_reaper.ReapEnded();
    std::optional<ChildProcess> child = ChildProcess::Start(request);
    if (!child)
        return {RunOutcome::End::NotStarted, errno};
    const ChildProcess::WaitEnd waited = child->WaitUntil(timeout, m_stopFd);
    if (waited != ChildProcess::WaitEnd::Ended) {
        m_reaper.Adopt(std::move(*child));
        return {waited == ChildProcess::WaitEnd::Interrupted ? RunOutcome::End::Interrupted
                                                             : RunOutcome::End::StillRunning,
                0};
    }
    const std::optional<int> status = child->ExitStatus();
    if (status && WIFSIGNALED(*status))
        return {RunOutcome::End::Killed, WTERMSIG(*status)};
    return {RunOutcome::End::Exited, status && WIFEXITED(*status) ? WEXITSTATUS(*status) : 0};
}

bool SpawningLauncher::StopRequested() const {
    if (m_stopFd < 0)
        return false;
    pollfd pfd{m_stopFd, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0;
}

} // namespace platform
