#include "app/CBatchQueueApp.h"
#include "app/TerminationSignals.h"
#include "platform/InheritedDescriptors.h"
#include "platform/InstanceLock.h"

int main(int argc, char** argv) {
    // Before anything of ours is opened: nothing this process inherited may
    // reach a viewer or the help viewer.
    platform::MarkInheritedDescriptorsCloseOnExec();
    // Owned before the guard is taken, so that no signal after it can end the
    // program the abrupt way.
    app::TerminationSignals termination;
    // A second instance ends at once and silently, with or without a window
    // system.
    const platform::InstanceLock guard(platform::InstanceLockPath());
    if (guard.GetState() == platform::InstanceLock::State::HeldElsewhere)
        return 0;
    const auto application = app::CBatchQueueApp::Open(argc, argv);
    application->InitInstance(termination);
    return 0;
}
