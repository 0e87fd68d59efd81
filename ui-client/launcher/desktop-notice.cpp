#include "desktop-notice.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QSaveFile>

#include <cstring>
#include <ctime>
#include <mutex>

#include "modules.h"
#include "strtab.h"
#include "uipathmanager.h"

#define QV_LOG_FILE "desktop-notice.cpp"
#include "log.h"

namespace DesktopNotice {
namespace {

std::mutex g_mutex;
Failure g_failure;
std::string g_build;
std::string g_first_error;
bool g_lock_busy = false;

const uint64_t kMegabyte = 1000 * 1000;
const int64_t kDaySeconds = 24 * 60 * 60;

uint64_t MegabytesUp(uint64_t bytes) { return (bytes + kMegabyte - 1) / kMegabyte; }

void Keep(const Failure& failure) {
  std::lock_guard<std::mutex> hold(g_mutex);
  if (g_failure.cause == Cause::kNone) g_failure = failure;
}

void OnError(const char* line) {
  std::lock_guard<std::mutex> hold(g_mutex);
  if (!g_first_error.empty()) return;
  // Past the "(pid:tid) [ERROR] file(line): " prefix; the message ends the line.
  const char* text = std::strstr(line, "): ");
  g_first_error = text != nullptr ? text + 3 : line;
  while (!g_first_error.empty() && g_first_error.back() == '\n') g_first_error.pop_back();
}

QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.c_str()); }

// A path of the start-up path table, as the notice needs only three of them.
QString TablePath(const char* key) { return UIPathManager::getInstance()->getPath(QString::fromLatin1(key)); }

QString RecordPath() { return TablePath("user_quenvale_drive_path") + QStringLiteral("/notified"); }

bool Send(const Text& text, QString* error) {
  const QString address = SessionBusAddress();
  if (address.isEmpty()) {
    *error =
        QStringLiteral("no session bus (DBUS_SESSION_BUS_ADDRESS is not set and there is no $XDG_RUNTIME_DIR/bus)");
    return false;
  }
  std::string why;
  const auto send = reinterpret_cast<decltype(&qv_notify_send)>(ModuleEntry(kNotifyModule, "qv_notify_send", &why));
  if (!send) {
    *error = QStringLiteral("cannot load the notification module: %1").arg(FromUtf8(why));
    return false;
  }
  NotifyCall call;
  call.address = address;
  call.app_name = StrTable::LoadStr(StrTable::app_name_drive_client);
  call.summary = text.summary;
  call.body = text.body;
  call.urgency = text.urgency;
  call.reply_ms = kReplyMs;
  return send(&call, error);
}

// key=value lines, written to a new file that is renamed over the old one.
void Remember(const std::string& cause_key, const std::string& build, int64_t now) {
  QSaveFile file(RecordPath());
  const std::string text = "cause=" + cause_key + "\nbuild=" + build + "\ntime=" + std::to_string(now) + "\n";
  if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) < 0 ||
      !file.commit()) {
    QVLOG_NOTE("launcher_debug", "cannot remember the notification in '%s': %s\n",
               RecordPath().toUtf8().constData(), file.errorString().toUtf8().constData());
  }
}

}  // namespace

void SetBuild(const std::string& build) {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_build = build;
}

void ReportNoSpace(const std::string& folder, uint64_t needed, uint64_t free_bytes) {
  Failure failure;
  failure.cause = Cause::kNoSpace;
  failure.where = folder;
  failure.needed = needed;
  failure.free_bytes = free_bytes;
  Keep(failure);
}

void ReportNoexec(const std::string& folder) {
  Failure failure;
  failure.cause = Cause::kNoexec;
  failure.where = folder;
  Keep(failure);
}

void ReportNotStarted(const std::string& reason) {
  Failure failure;
  failure.cause = Cause::kNotStarted;
  failure.reason = reason;
  Keep(failure);
}

void ReportForeignFolder(const std::string& folder) {
  Failure failure;
  failure.cause = Cause::kForeignFolder;
  failure.where = folder;
  Keep(failure);
}

void ReportFailure(const std::string& reason) {
  Failure failure;
  failure.cause = Cause::kFailed;
  failure.reason = reason;
  Keep(failure);
}

void ReportRolledBack(const std::string& build) {
  std::lock_guard<std::mutex> hold(g_mutex);
  // The whole story of the new client's failed start, which was reported first.
  g_failure = Failure();
  g_failure.cause = Cause::kRolledBack;
  g_failure.build = build;
}

void ReportLockBusy() {
  std::lock_guard<std::mutex> hold(g_mutex);
  g_lock_busy = true;
}

void WatchErrors() { Logger::SetErrorObserver(&OnError); }

Text Compose(const Failure& failure, bool have_client, const QString& log) {
  using namespace StrTable;
  Text text;
  const bool started = failure.cause == Cause::kNoexec || failure.cause == Cause::kNotStarted;
  text.urgency = have_client && !started ? 1 : 2;
  if (started) {
    text.summary = LoadStr(notice_not_started_drive);
  } else if (failure.cause == Cause::kRolledBack) {
    text.summary = LoadStr(notice_rolled_back_drive);
  } else {
    text.summary = LoadStr(have_client ? notice_not_updated_drive : notice_not_installed_drive);
  }
  switch (failure.cause) {
    case Cause::kNoSpace: {
      const uint64_t missing = failure.needed > failure.free_bytes ? failure.needed - failure.free_bytes : 0;
      text.body = LoadStr(notice_no_space)
                      .arg(FromUtf8(failure.where), QString::number(MegabytesUp(failure.needed)),
                           QString::number(failure.free_bytes / kMegabyte), QString::number(MegabytesUp(missing)));
      break;
    }
    case Cause::kNoexec:
      text.body = LoadStr(notice_noexec).arg(FromUtf8(failure.where));
      break;
    case Cause::kForeignFolder:
      text.body = LoadStr(notice_foreign_folder).arg(FromUtf8(failure.where));
      break;
    case Cause::kRolledBack:
      text.body = LoadStr(notice_rolled_back_body).arg(FromUtf8(failure.build), log);
      break;
    case Cause::kNone:
    case Cause::kNotStarted:
    case Cause::kFailed:
      text.body = LoadStr(notice_failed).arg(FromUtf8(failure.reason), log);
      break;
  }
  return text;
}

std::string CauseKey(const Failure& failure) {
  switch (failure.cause) {
    case Cause::kNone: return "none";
    case Cause::kNoSpace: return "no-space";
    case Cause::kNoexec: return "noexec";
    case Cause::kForeignFolder: return "foreign-folder:" + failure.where;
    case Cause::kNotStarted: return "not-started";
    case Cause::kFailed: return "failed";
    case Cause::kRolledBack: return "rolled-back";
  }
  return "unknown";
}

bool Due(const QByteArray& record, const std::string& cause_key, const std::string& build, int64_t now) {
  std::string told_cause, told_build;
  int64_t told_at = -1;
  bool have_time = false;
  for (const QByteArray& line : record.split('\n')) {
    const int eq = line.indexOf('=');
    if (eq < 0) continue;
    const QByteArray key = line.left(eq), value = line.mid(eq + 1);
    if (key == "cause") told_cause = value.toStdString();
    if (key == "build") told_build = value.toStdString();
    if (key == "time") told_at = value.toLongLong(&have_time);
  }
  if (!have_time || told_cause != cause_key || told_build != build) return true;
  return now < told_at || now - told_at >= kDaySeconds;
}

QString SessionBusAddress() {
  const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
  if (!address.isEmpty()) return address;
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (runtime.isEmpty()) return QString();
  const QByteArray socket = runtime + "/bus";
  struct stat st;
  if (::stat(socket.constData(), &st) != 0 || !S_ISSOCK(st.st_mode)) return QString();
  return QStringLiteral("unix:path=") + QFile::decodeName(socket);
}

void Tell() {
  Failure failure;
  std::string build;
  {
    std::lock_guard<std::mutex> hold(g_mutex);
    if (g_lock_busy) return;
    failure = g_failure;
    build = g_build;
    if (failure.cause == Cause::kFailed && failure.reason.empty()) failure.reason = g_first_error;
  }
  const QString record = RecordPath();
  if (failure.cause == Cause::kNone) {
    // A run that went well: the next failure is news, whatever was told before.
    QFile::remove(record);
    return;
  }
  const std::string key = CauseKey(failure);
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  QFile file(record);
  const QByteArray told = file.open(QIODevice::ReadOnly) ? file.read(4096) : QByteArray();
  if (!Due(told, key, build, now)) {
    QVLOG_INFO("launcher_debug", "the desktop was told of '%s' for build '%s' already\n", key.c_str(), build.c_str());
    return;
  }

  struct stat st;
  const bool have_client = ::stat(TablePath("user_quenvale_drive_ui_path").toUtf8().constData(), &st) == 0;
  const QString log = TablePath("user_quenvale_drive_path") + QStringLiteral("/log/launcher.log");
  const Text text = Compose(failure, have_client, log);
  QString error;
  if (!Send(text, &error)) {
    QVLOG_NOTE("launcher_debug", "no desktop notification shown (%s)\n", error.toUtf8().constData());
    return;
  }
  QVLOG_INFO("launcher_debug", "desktop notification shown: %s\n", text.summary.toUtf8().constData());
  Remember(key, build, now);
}

}  // namespace DesktopNotice
