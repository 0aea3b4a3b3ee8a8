// The boards opened through handles, as the library's unload sees them.
#pragma once

#include "platform/reader_thread.h"

namespace tarvelin {

// Closes every board still open through a handle, waiting for its reader as
// `wait` allows; their handles are invalid afterwards.
void CloseHandleBoards(CloseWait wait);

}  // namespace tarvelin
