#pragma once

#include "platform/FileOps.h"
#include "platform/WriterView.h"

#include <string>

namespace engine {

// True when a process on this machine is still writing the file `name` of the
// queue directory `queueDir`, open on `fd`. A read lease answers for the files
// this user owns; on the others no lease is granted, and the writer view
// answers where there is one. Without either, nothing can be told: only the
// settle time guards.
bool StillBeingWritten(platform::FileOps& ops, int fd, const platform::WriterView* writers,
                       const std::string& queueDir, const std::string& name);

} // namespace engine
