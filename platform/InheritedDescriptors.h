#pragma once

namespace platform {

// Marks every descriptor above 2 close-on-exec, so that nothing this process
// inherited from whoever started it reaches a program it starts. Uses one
// close_range call where the kernel has it, else walks /proc/self/fd. True
// when every descriptor could be marked.
bool MarkInheritedDescriptorsCloseOnExec();

} // namespace platform
