#include "support/FakeQueueLibrary.h"

namespace testsupport {

int FakeQueueLibrary::IsKorvaneRunning() {
    calls.push_back("IsKorvaneRunning");
    return running;
}

int FakeQueueLibrary::GetNumberOfQueueItems() {
    calls.push_back("GetNumberOfQueueItems");
    return items;
}

int FakeQueueLibrary::QueueControl(int code) {
    calls.push_back("QueueControl(" + std::to_string(code) + ")");
    return 1;
}

int FakeQueueLibrary::QueueSampleBatch(const std::string& path, int a, int b, int c, int flags) {
    calls.push_back("QueueSampleBatch(" + path + "," + std::to_string(a) + "," + std::to_string(b) +
                    "," + std::to_string(c) + "," + std::to_string(flags) + ")");
    submittedPaths.push_back(path);
    submittedFlags.push_back(flags);
    if (duringSubmit)
        duringSubmit(path);
    if (submitResult != 0)
        items = itemsAfterSubmit;
    return submitResult;
}

} // namespace testsupport
