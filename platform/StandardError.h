// Standard error for wide and narrow text alike.
#pragma once

namespace platform {

// Gives std::wcerr a stream buffer of its own that writes UTF-8 straight to
// file descriptor 2, unbuffered, so wide and narrow standard error never
// compete for the orientation of the one C stdio stream and keep their order.
// Call first in main, before any thread writes to std::wcerr. Idempotent.
void InstallWideStandardError();

}  // namespace platform
