#include "app/CBatchQueueApp.h"
#include "app/SecondStart.h"
#include "app/TerminationSignals.h"
#include "platform/InheritedDescriptors.h"
#include "platform/InstanceLock.h"

#include <cstdlib>
#include <optional>

int main(int argc, char** argv) {
    // Before anything of ours is opened: nothing this process inherited may
    // reach a viewer or the help viewer.
    platform::MarkInheritedDescriptorsCloseOnExec();
    // Owned before the guard is taken, so that no signal after it can end the
    // program the abrupt way.
    app::TerminationSignals termination;
    // A second instance ends at once and silently, with or without a window
    // system; the running instance brings its window to the front.
    const std::string raisePath = app::RaiseSocketPath(std::getenv("XDG_RUNTIME_DIR"));
    const platform::InstanceLock guard(platform::InstanceLockPath());
    if (guard.GetState() == platform::InstanceLock::State::HeldElsewhere) {
        app::AskRunningInstanceToRaise(raisePath);
        return 0;
    }
    const auto application = app::CBatchQueueApp::Open(argc, argv);
    std::optional<app::RaiseListener> raiseListener;
    if (guard.GetState() == platform::InstanceLock::State::Acquired)
        raiseListener.emplace(raisePath, &app::RaiseProgramWindows);
    application->InitInstance(termination);
    return 0;
}
