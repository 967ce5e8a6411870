#pragma once

namespace platform {

// Storage kept from one tick to the next serves again while the queue stays
// about the same size; once it holds far more than is used (a long queue
// that has drained), the excess goes back to the system.
template <typename Container> void GiveBackExcess(Container& c) {
    if (c.capacity() > 4 * c.size() + 64)
        c.shrink_to_fit();
}

} // namespace platform
