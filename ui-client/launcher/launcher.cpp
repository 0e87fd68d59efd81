#include "launcher.h"

#include <pthread.h>

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QProgressBar>
#include <climits>
#include <cstring>

#include "adapter.h"
#include "desktop-notice.h"
#include "dpiinfo.h"
#include "linux/linux-service.h"
#include "strtab.h"
#include "uipathmanager.h"

#define QV_LOG_FILE "launcher.cpp"
#include "log.h"

void HandlerThread::run() { exec(); }

namespace {

// QThread keeps the reason for a start that failed to itself; one more try tells it.
// Empty when that try succeeds (a task was freed meanwhile).
QString ThreadStartError() {
  pthread_t probe;
  const int rc = pthread_create(&probe, nullptr, [](void*) -> void* { return nullptr; }, nullptr);
  if (rc == 0) {
    pthread_join(probe, nullptr);
    return QString();
  }
  return QString::fromLocal8Bit(std::strerror(rc));
}

}  // namespace

Worker::Worker() {
  m_service = new LinuxService();
  m_handler_thread = new HandlerThread();
}

Worker::~Worker() {
  if (m_handler_thread != nullptr) delete m_handler_thread;
  if (m_service != nullptr) delete m_service;
}

bool Worker::StartThread() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    m_handler_thread->start(QThread::InheritPriority);
    // Moved only once its thread runs: an object of a thread that never started would
    // never get its start signal.
    if (m_handler_thread->isRunning()) {
      moveToThread(m_handler_thread);
      return true;
    }
    m_thread_error = ThreadStartError();
    if (!m_thread_error.isEmpty()) break;
  }
  if (m_thread_error.isEmpty()) m_thread_error = QStringLiteral("no reason given");
  QVLOG_WARN("launcher_debug", "cannot start the worker thread (%s), running without it\n",
             m_thread_error.toUtf8().constData());
  return false;
}

void Worker::QuitThread() { m_handler_thread->quit(); }

void Worker::JoinThread() { m_handler_thread->wait(ULONG_MAX); }

void Worker::HandleServicce() {
  // A package upgraded again during the run (after its copy was checked) would leave the
  // client a build behind until the next start: the run goes again, a few times at most.
  for (int round = 1;; ++round) {
    RunServiceOnce();
    if (round == kServiceRounds || !m_service->PackageChangedDuringRun()) break;
  }
  // After the start, so that the client never waits for the desktop. Qt's bus
  // connection needs a thread of its own, which a run without one would wait for
  // forever. A launcher that lost its lock tells nothing: the new holder does the work.
  if (!m_service->UpgradeLockLost()) {
    if (m_thread_error.isEmpty()) {
      DesktopNotice::Tell();
    } else {
      QVLOG_NOTE("launcher_debug", "no desktop notification without threads\n");
    }
  }
  QVLOG_DEBUG("launcher_debug", "done\n");
  emit sigServiceDone();
}

void Worker::RunServiceOnce() {
  QVLOG_DEBUG("launcher_debug", "running\n");
  DesktopNotice::WatchErrors();
  m_service->PreUpgrade();
  const bool upgrade = m_service->IsNeedUpgrade();
  if (upgrade && !m_thread_error.isEmpty()) {
    // No thread to spare means no process either: the running client could be stopped,
    // but its successor would not start. The copy in use and its client stay.
    const QByteArray reason = m_thread_error.toUtf8();
    const QString client = UIPathManager::getInstance()->getPath(QStringLiteral("user_quenvale_drive_ui_path"));
    if (QFileInfo::exists(client)) {
      QVLOG_ERR("launcher_debug", "not upgrading the copy in use now: no thread can be started (%s)\n",
                reason.constData());
    } else {
      QVLOG_ERR("launcher_debug", "the client cannot be installed now: no thread can be started (%s)\n",
                reason.constData());
    }
  } else if (upgrade) {
    emit sigShowMsg();
    if (m_service->HandlePackageUpgrade() != 0) {
      QVLOG_ERR("launcher_debug", "Failed to upgrade package\n");
      m_service->ReportFailedUpgrade();
    } else {
      emit sigUpdateProgress(100, 100);
      emit sigSetLabelText(StrTable::LoadStrWithAppName(StrTable::desc_skld_env_preparation_done_drive));
    }
  } else {
    QVLOG_DEBUG("launcher_debug", "no need to upgrade\n");
  }
  m_service->RemoveAgedFolders();
  m_service->PostUpgrade();
}

ProcessingProgressDialog::ProcessingProgressDialog() : QProgressDialog(nullptr, Qt::WindowFlags()) {
  const QFont font = QApplication::font();
  const QString icon_path = UIPathManager::getInstance()->getPath(QStringLiteral("root_resource_path")) +
                            QStringLiteral("/images/ico_72_sky_lodge.png");
  setWindowTitle(StrTable::LoadStr(StrTable::app_name_drive_client));
  setWindowIcon(QIcon(icon_path));
  setWindowFlags(Qt::WindowTitleHint | Qt::WindowSystemMenuHint);
  // QProgressDialog shows itself once its minimum duration has passed, even before any
  // progress; only ShowMsgBox may show this one, so that never happens.
  setMinimumDuration(INT_MAX);
  setValue(0);
  setRange(0, 100);
  SetLabel(StrTable::LoadStrWithAppName(StrTable::desc_skld_env_preparing_drive));
  setFont(font);
  setModal(true);
  setWindowModality(Qt::WindowModal);
  setFixedWidth(static_cast<int>(400 * DPIinfo::getInstance()->getDPI()));
  setStyleSheet(DPIinfo::getInstance()->getScaledStyleSheet(
      QStringLiteral("QProgressDialog { background-color: WhiteSmoke; vertical-align: middle; }")));
  // Closing the window must not end the application: only LaunchDone does that, after
  // the worker has finished.
  setAttribute(Qt::WA_QuitOnClose, false);
}

void ProcessingProgressDialog::SetLabel(const QString& label) {
  setLabelText(label);
  // A screen reader names the bar by its accessible name; without one it says "progress
  // bar" and a percentage, and nothing of what is being installed.
  QProgressBar* bar = findChild<QProgressBar*>();
  if (bar != nullptr) bar->setAccessibleName(label.isEmpty() ? windowTitle() : label);
}

Launcher::Launcher() {
  m_worker = new Worker();
  // The dialog is the only window; closing it through the window manager or with Escape
  // would otherwise quit the event loop while the worker still runs.
  QApplication::setQuitOnLastWindowClosed(false);

  Notify_Adapter& adapter = Notify_Adapter::GetInstance();
  // Queued also when the worker has no thread of its own and runs on this one: the
  // sequence then runs inside the event loop, which its end can quit.
  connect(this, &Launcher::sigStart, m_worker, &Worker::HandleServicce, Qt::QueuedConnection);
  connect(m_worker, &Worker::sigShowMsg, this, &Launcher::ShowMsgBox);
  connect(m_worker, &Worker::sigServiceDone, this, &Launcher::LaunchDone);
  connect(m_worker, &Worker::sigUpdateProgress, this, &Launcher::UpdateProgress);
  connect(m_worker, &Worker::sigSetLabelText, this, &Launcher::SetLabelText);
  connect(&adapter, &Notify_Adapter::sigUpdateProgress, this, &Launcher::UpdateProgress);
  connect(&adapter, &Notify_Adapter::sigUpdateDialogText, this, &Launcher::SetLabelText);
  connect(&adapter, &Notify_Adapter::sigHideDialog, this, &Launcher::HideDialog);
}

Launcher::~Launcher() {
  if (m_worker != nullptr) delete m_worker;
  if (m_progress != nullptr) delete m_progress;
}

ProcessingProgressDialog* Launcher::Progress() {
  if (m_progress == nullptr) {
    m_progress = new ProcessingProgressDialog();
    m_progress->setCancelButton(nullptr);
    m_progress->setAutoReset(false);
  }
  return m_progress;
}

void Launcher::Run() { m_worker->StartThread(); }

void Launcher::Start() { emit sigStart(); }

void Launcher::ShowMsgBox() { Progress()->show(); }

void Launcher::HideDialog() {
  if (m_progress != nullptr) m_progress->hide();
}

void Launcher::UpdateProgress(int total, int steps) {
  // A report without a positive total has no meaningful percentage (and would divide by
  // zero); no caller sends one, so it is dropped.
  if (total <= 0) return;
  const int value = static_cast<int>(static_cast<long long>(steps) * 100 / total);
  if (value != Progress()->value()) QVLOG_DEBUG("launcher_debug", "progress %d%%\n", value);
  m_progress->setValue(value);
}

void Launcher::SetLabelText(const QString& label) { Progress()->SetLabel(label); }

void Launcher::LaunchDone() {
  if (m_progress != nullptr) {
    m_progress->setValue(100);
    m_progress->hide();
  }
  m_worker->QuitThread();
  m_worker->JoinThread();
  QCoreApplication::quit();
}
