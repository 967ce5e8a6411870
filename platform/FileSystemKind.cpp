#include "platform/FileSystemKind.h"

#include <sys/vfs.h>

#include <algorithm>
#include <array>
#include <cstdint>

namespace platform {

namespace {

// statfs magic numbers of file systems written from elsewhere.
constexpr std::array<std::uint32_t, 12> kSharedKinds = {
    0x6969,     // NFS
    0x517B,     // SMB
    0xFF534D42, // CIFS
    0xFE534D42, // SMB2
    0x65735546, // FUSE (sshfs, bindfs, ntfs-3g ...)
    0x73757245, // Coda
    0x5346414F, // AFS
    0x01021997, // 9P
    0x00C36400, // Ceph
    0x01161970, // GFS2
    0x7461636F, // OCFS2
    0x47504653, // GPFS
};

} // namespace

bool OnSharedFileSystem(const std::string& dir) {
    struct statfs fs {};
    if (statfs(dir.empty() ? "." : dir.c_str(), &fs) != 0)
        return false;
    const auto kind = static_cast<std::uint32_t>(fs.f_type);
    return std::find(kSharedKinds.begin(), kSharedKinds.end(), kind) != kSharedKinds.end();
}

} // namespace platform
