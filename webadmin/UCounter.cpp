// The wait object of the web program.
#include "webadmin/UCounter.h"

#include "platform/Clock.h"

void TBaseDispatcher::WaitForDispatch(uint16_t timeout) { SleepMilliseconds(timeout); }
