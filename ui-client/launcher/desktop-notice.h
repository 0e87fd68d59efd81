// Tells the user on the desktop when the launcher could not install, upgrade or start
// the client: one notification through the session bus's org.freedesktop.Notifications,
// since the log is a file users never open. The service reports each failure where it
// happens, with the cause finished there (the folder, the reason): the notice knows
// nothing of the service or the upgrade. Tell, called once the client has been started
// (or could not be), turns the first report of the run into at most one notification.
#pragma once

#include <QString>

#include <cstdint>
#include <string>

namespace DesktopNotice {

enum class Cause {
  kNone,
  kNoSpace,        // the per-user folder's file system has no room for the package
  kNoexec,         // the start script lies on a file system mounted noexec
  kForeignFolder,  // a folder of the per-user tree belongs to another user
  kNotStarted,     // the client did not start: its start script failed, or no client ran
  kFailed,         // anything else; reason holds the log's first ERROR of the run
  kRolledBack,     // the new build was put back because its client did not start
};

struct Failure {
  Cause cause = Cause::kNone;
  std::string where;   // the folder, or the start script
  std::string reason;  // the system's message
  std::string build;   // the build put back (kRolledBack)
  uint64_t needed = 0;
  uint64_t free_bytes = 0;
};

// What a run reports. The first failure of a run is its cause; later ones are
// consequences, except that a rollback replaces the failed start that led to it. Any
// thread.
void SetBuild(const std::string& build);  // the package's build, which the run is about
void ReportNoSpace(const std::string& folder, uint64_t needed, uint64_t free_bytes);
// folder: the per-user folder, which the user knows, not the script inside it.
void ReportNoexec(const std::string& folder);
void ReportNotStarted(const std::string& reason);
void ReportForeignFolder(const std::string& folder);
void ReportFailure(const std::string& reason);
void ReportRolledBack(const std::string& build);
// Another launcher holds the upgrade lock and does the work: this run tells nothing.
void ReportLockBusy();
// Keeps the run's first ERROR line as the reason of a failure reported without one.
void WatchErrors();

struct Text {
  QString summary;
  QString body;
  unsigned char urgency = 1;  // 1 normal, 2 critical
};

// The notification for failure, in the installed language. have_client: a copy of the
// client is installed (it may still not start); log is the log file's path.
Text Compose(const Failure& failure, bool have_client, const QString& log);

// The cause as remembered between runs: one key per kind, the folder's path with it
// for a foreign folder.
std::string CauseKey(const Failure& failure);

// Whether a notice of cause_key for build is due, given what record (the remembered
// file's text) says was told last: when either differs, or a day has gone by since
// (by now, in seconds since the epoch; a time in the future counts as long ago).
bool Due(const QByteArray& record, const std::string& cause_key, const std::string& build, int64_t now);

// The session bus's address: DBUS_SESSION_BUS_ADDRESS, else the user bus at
// $XDG_RUNTIME_DIR/bus when that is a socket; empty when there is none. Never a
// bus started for the occasion (libdbus's autolaunch under X11).
QString SessionBusAddress();

// Sends the notification for what was reported, when something was and it is due, and
// remembers it; else removes the record of an earlier one once a run went well. Waits
// for the service for kReplyMs at most, and never for the user.
void Tell();
const int kReplyMs = 2000;

}  // namespace DesktopNotice
