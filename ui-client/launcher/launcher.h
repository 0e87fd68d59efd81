// The launch controller: runs the service sequence on a worker thread while a progress
// dialog on the main thread shows what happens.
#pragma once

#include <QObject>
#include <QProgressDialog>
#include <QString>
#include <QThread>

class Service;

// Runs the worker's own event loop; the worker's slot is called from it.
class HandlerThread : public QThread {
  Q_OBJECT

 public:
  HandlerThread() = default;

 protected:
  void run() override;
};

// Drives the per-user install service. Lives on its HandlerThread once constructed.
class Worker : public QObject {
  Q_OBJECT

 public:
  Worker();
  ~Worker() override;

  // Starts the worker's thread and moves the worker there. False when no thread could be
  // started: the worker then stays on the calling thread and upgrades nothing.
  bool StartThread();
  void QuitThread();
  void JoinThread();

 signals:
  void sigServiceDone();
  void sigShowMsg();
  void sigUpdateProgress(int total, int steps);
  void sigSetLabelText(const QString& label);

 private slots:
  void HandleServicce();

 private:
  // How often one start runs the service sequence at most (see HandleServicce).
  static constexpr int kServiceRounds = 3;
  void RunServiceOnce();

  HandlerThread* m_handler_thread = nullptr;
  Service* m_service = nullptr;
  // Why the thread could not be started; empty when it runs.
  QString m_thread_error;

  // The launcher connects its start signal to the private slot.
  friend class Launcher;
};

// The small, window-modal progress window shown while the user's copy is installed.
class ProcessingProgressDialog : public QProgressDialog {
  Q_OBJECT

 public:
  ProcessingProgressDialog();
  // The label, and the bar's accessible name with it.
  void SetLabel(const QString& label);
};

class Launcher : public QObject {
  Q_OBJECT

 public:
  Launcher();
  ~Launcher() override;

  void Run();
  void Start();
  // The dialog, made on first use: its widgets load the fonts, which a start with
  // nothing to do never needs.
  ProcessingProgressDialog* Progress();

 signals:
  void sigStart();

 private slots:
  void LaunchDone();
  void UpdateProgress(int total, int steps);
  void SetLabelText(const QString& label);
  void ShowMsgBox();
  void HideDialog();

 private:
  Worker* m_worker = nullptr;
  ProcessingProgressDialog* m_progress = nullptr;
};
