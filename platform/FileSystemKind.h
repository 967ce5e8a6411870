#pragma once

#include <string>

namespace platform {

// True when `dir` lies on a file system whose files other hosts, or other
// routes than this kernel's, can write (NFS, SMB, FUSE, cluster file
// systems): its change notification never tells of those writers.
bool OnSharedFileSystem(const std::string& dir);

} // namespace platform
