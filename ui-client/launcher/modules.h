// The launcher's calls into libarchive and Qt's D-Bus live in two modules of ours,
// loaded the first time an archive is read or a notification sent: a start with nothing
// to do then loads neither library nor the dozen that they pull in. Both lie beside
// libfct-qt.so.1, in the install's lib/ as in the build tree, and are loaded from the
// folder that library was loaded from.
#pragma once

#include <QString>

#include <string>

// Where entry of module is, loading the module the first time; null, with the loader's
// reason in *error, when it cannot be loaded. A module stays loaded to the end.
void* ModuleEntry(const char* module, const char* entry, std::string* error);

// libquenvale-notify.so: one notification sent to the desktop's notification service.
const char kNotifyModule[] = "libquenvale-notify.so";
struct NotifyCall {
  QString address;  // the session bus
  QString app_name;
  QString summary;
  QString body;
  unsigned char urgency = 1;
  int reply_ms = 0;  // how long to wait for the service's answer
};
// Whether the service took the notification; else why not in *error.
extern "C" bool qv_notify_send(const NotifyCall* call, QString* error);
