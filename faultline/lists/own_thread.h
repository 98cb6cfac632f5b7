#pragma once
// Base of the reporting code's own threads (the report thread, the freeze detector, the sending
// threads). Their creation is not listed and their Execute is never wrapped: they run while the
// rest of the process is being reported on, and must not report on themselves.
#include "rtl/thread.h"

class TFaultlineThread : public TThread {
 protected:
  using TThread::TThread;
};
