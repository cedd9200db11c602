// Resetting every injected failure of both libraries.

#include "CudaHost/Control.h"

namespace CudaHost {

void ResetFailures()
{
    FailNext(Call::Malloc, 0);
    FailNext(Call::Free, 0);
    FailNext(Call::Memcpy, 0);
    FailNextNpp(0, 0);
}

}  // namespace CudaHost
