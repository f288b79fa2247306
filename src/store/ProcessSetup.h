// What both programs set up for their process before anything else.
#pragma once

namespace sirano {

// A write past a file size limit (ulimit -f) then fails with EFBIG ("File too large") and takes
// the clean error path: the old file kept, the temporary and the lock removed, a message shown.
// By default the kernel kills the process with SIGXFSZ instead, mid-save.
void ignoreFileSizeLimitSignal();

}  // namespace sirano
