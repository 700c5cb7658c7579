#include "capture/mdlwinsock.h"

namespace quillet {
namespace {
bool bStarted = false;
}

void WinsockStart()
{
    if (bStarted)
        return;
    bStarted = true;
}

void WinsockStop()
{
    bStarted = false;
}

bool WinsockStarted()
{
    return bStarted;
}

}  // namespace quillet
