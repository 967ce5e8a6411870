#include "support/FileModesBind.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace testsupport {
namespace {

// The capabilities that let a thread read, write or search regardless of modes.
constexpr std::uint32_t kOverrides = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

// capget/capset act on one thread, which is what is wanted here; the C
// library offers no wrapper for them.
bool GetCaps(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capget, &header, data) == 0;
}

bool SetCaps(__user_cap_data_struct (&data)[2]) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(SYS_capset, &header, data) == 0;
}

} // namespace

FileModesBind::FileModesBind() {
    __user_cap_data_struct data[2]{};
    if (!GetCaps(data) || (data[0].effective & kOverrides) == 0)
        return;
    m_effective[0] = data[0].effective;
    m_effective[1] = data[1].effective;
    data[0].effective &= ~kOverrides;
    m_lowered = SetCaps(data);
}

FileModesBind::~FileModesBind() {
    if (!m_lowered)
        return;
    __user_cap_data_struct data[2]{};
    if (!GetCaps(data))
        return;
    data[0].effective = m_effective[0];
    data[1].effective = m_effective[1];
    SetCaps(data);
}

bool ModesBindHere(const char* scratchDir) {
    const std::string probe = std::string(scratchDir) + "/.modes-probe";
    const int created = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
    if (created < 0)
        return false;
    close(created);
    const int reopened = open(probe.c_str(), O_RDONLY | O_CLOEXEC);
    if (reopened >= 0)
        close(reopened);
    unlink(probe.c_str());
    return reopened < 0;
}

} // namespace testsupport
