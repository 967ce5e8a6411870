#include "platform/FileIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace platform {

unsigned IdentityStatxMask() {
    return STATX_INO | STATX_BTIME;
}

FileIdentity IdentityOf(const struct statx& stx) {
    FileIdentity id;
    id.device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    id.inode = stx.stx_ino;
    if ((stx.stx_mask & STATX_BTIME) != 0) {
        id.bornSeconds = stx.stx_btime.tv_sec;
        id.bornNanoseconds = stx.stx_btime.tv_nsec;
    }
    return id;
}

bool IdentifyAt(int dirFd, const char* name, FileIdentity& identity) {
    struct statx stx {};
    if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, IdentityStatxMask(), &stx) != 0)
        return false;
    identity = IdentityOf(stx);
    return true;
}

} // namespace platform
