#pragma once

#include "engine/Clock.h"
#include "external/CFileFindS.h"
#include "external/QueueLibrary.h"

#include <functional>
#include <memory>

namespace engine {

using FinderFactory = std::function<std::unique_ptr<external::CFileFindS>()>;

// A factory that makes the real finder.
FinderFactory DefaultFinderFactory();

// What the engine needs from outside, passed in so that tests can replace it.
// The engine does not own these; they must outlive it.
struct EngineServices {
    external::QueueLibrary* library = nullptr;
    Clock* clock = nullptr;
    FinderFactory finders = DefaultFinderFactory();
};

} // namespace engine
