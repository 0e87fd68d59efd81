#include "adapter.h"

Notify_Adapter& Notify_Adapter::GetInstance() {
  // Created on first use; the launcher's constructor touches it first, on the main
  // thread, so the instance lives there and queued connections deliver there.
  static Notify_Adapter instance;
  return instance;
}

void Notify_Adapter::UpdateProgress(int total, int step) { emit sigUpdateProgress(total, step); }

void Notify_Adapter::UpdateDialogText(QString text) { emit sigUpdateDialogText(text); }

void Notify_Adapter::HideDialog() { emit sigHideDialog(); }
