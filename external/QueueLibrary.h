#pragma once

#include <string>

namespace external {

// The four operations of the suite's queue library, as the engine uses them.
// Every call blocks the caller and must return promptly.
class QueueLibrary {
public:
    virtual ~QueueLibrary() = default;
    virtual int IsKorvaneRunning() = 0;
    virtual int GetNumberOfQueueItems() = 0;
    virtual int QueueControl(int code) = 0;
    virtual int QueueSampleBatch(const std::string& path, int a, int b, int c, int flags) = 0;
};

} // namespace external
