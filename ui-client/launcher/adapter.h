// Carries progress from code that runs on the worker thread (the archive extractor) to
// the progress dialog, without that code knowing about the dialog.
#pragma once

#include <QObject>
#include <QString>

class Notify_Adapter : public QObject {
  Q_OBJECT

 public:
  static Notify_Adapter& GetInstance();

  void UpdateProgress(int total, int step);
  void UpdateDialogText(QString text);
  // The upgrade's copy is in place and only a wait follows: the dialog goes.
  void HideDialog();

 signals:
  void sigUpdateProgress(int total, int current);
  void sigUpdateDialogText(QString text);
  void sigHideDialog();

 private:
  Notify_Adapter() = default;
  Q_DISABLE_COPY(Notify_Adapter)
};
