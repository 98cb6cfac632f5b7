#pragma once
// Base of the reporting code's own threads (the report thread, the freeze detector, the sending
// threads). Their creation is not listed and their Execute is never wrapped: they run while the
// rest of the process is being reported on, and must not report on themselves.
#include "rtl/thread.h"

class TFaultlineThread : public TThread {
 public:
  ~TFaultlineThread() override;
  // Asks the thread to end and waits for it at most `milliseconds`, as WaitForHelperEnd waits:
  // until it has left this module's code, never until an end it cannot reach while a DLL is being
  // unloaded. False when it has not ended: its object must then be kept (never deleted), as the
  // rest of its run still reads it. Execute must call SignalEnded on its way out.
  bool StopWithin(unsigned long milliseconds);

 protected:
  explicit TFaultlineThread(bool createSuspended = true);
  // The last act of Execute in this module's code, for StopWithin.
  void SignalEnded();

 private:
  void* ended_;
};
