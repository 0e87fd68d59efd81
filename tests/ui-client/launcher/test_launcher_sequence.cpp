// The launch sequence end to end inside one process: the real start-up steps fill the
// path table and the log, a real LinuxService works on a sandbox home and resource
// root, and the Launcher runs it on its worker thread under the application's event loop.
#include <sys/stat.h>

#include <QDir>
#include <QKeyEvent>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <vector>

#include "adapter.h"
#include "extractor.h"
#include "launcher_test_util.h"
#include "log_lines.h"
#include "test_env.h"

using launchertest::LabelOf;
using launchertest::LanguageScope;
using launchertest::Str;

namespace {

const char kInitializing[] = "Quenvale Drive Client is initializing...";
const char kReady[] = "Quenvale Drive Client is ready.";

struct DialogState {
  int value;
  std::string label;
};

// Watches the dialog from the main thread: what it showed when it appeared and when it
// was hidden, and every value its bar took.
class DialogWatcher : public QObject {
 public:
  explicit DialogWatcher(ProcessingProgressDialog* dialog) : dialog_(dialog) {
    dialog->installEventFilter(this);
    connect(dialog->findChild<QProgressBar*>(), &QProgressBar::valueChanged,
            [this](int v) { values.push_back(v); });
  }
  bool eventFilter(QObject* obj, QEvent* event) override {
    if (obj == dialog_ && event->type() == QEvent::Show) {
      on_show.push_back({dialog_->value(), Str(LabelOf(*dialog_))});
      if (show_hook) QTimer::singleShot(0, show_hook);
    }
    if (obj == dialog_ && event->type() == QEvent::Hide)
      on_hide.push_back({dialog_->value(), Str(LabelOf(*dialog_))});
    return false;
  }

  std::vector<DialogState> on_show, on_hide;
  std::vector<int> values;
  std::function<void()> show_hook;

 private:
  ProcessingProgressDialog* dialog_;
};

class SequenceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitTextsResource(); }

  void SetUp() override {
    home_ = qvtest::MakeTempDir("home");
    root_ = qvtest::MakeTempDir("root");
    marker_ = home_ + "/started";
    saved_home_ = qgetenv("HOME");
    ::setenv("HOME", home_.c_str(), 1);
    // The real start-up steps, with the resource root moved to the staged one.
    initializeDrivePaths();
    UIPathManager::getInstance()->setPath("root_resource_path", QString::fromStdString(root_));
    MakeFile(root_ + "/log/launcher.debug", "launcher_debug=7\nservice_debug=7\n");
    initialize_logger();
    log_ = home_ + "/.QuenvaleDrive/log/launcher.log";
    ASSERT_TRUE(Exists(log_));
  }

  void TearDown() override {
    qputenv("HOME", saved_home_);
    if (HasFailure()) std::cerr << "---- log ----\n" << qvtest::ReadFile(log_);
  }

  void MakeFile(const std::string& path, const std::string& text, mode_t mode = 0644) {
    ASSERT_TRUE(QDir().mkpath(QFileInfo(QString::fromStdString(path)).path()));
    ASSERT_TRUE(qvtest::WriteFile(path, text));
    ::chmod(path.c_str(), mode);
  }

  static bool Exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

  // A client tree: version record, executable and a start script that records its
  // argument (after an optional pause, to keep the worker busy).
  void MakeClientTree(const std::string& dir, const std::string& build, int pause_ms = 0) {
    MakeFile(dir + "/INFO", "[Version]\nbuild_version=" + build + "\n");
    MakeFile(dir + "/bin/cloud-drive-ui", "#!/bin/sh\n", 0755);
    std::string script = "#!/bin/sh\n";
    if (pause_ms > 0) script += "sleep " + std::to_string(pause_ms / 1000.0) + "\n";
    script += "echo \"" + build + " $1\" >> '" + marker_ + "'\n";
    MakeFile(dir + "/package/start-stop", script, 0755);
  }

  void StagePackage(const std::string& build, int pause_ms = 0) {
    MakeFile(root_ + "/INFO", "[Version]\nbuild_version=" + build + "\n");
    MakeClientTree(root_ + "/package/skylodge", build, pause_ms);
  }

  std::string UserApp() const { return home_ + "/.QuenvaleDrive/QuenvaleDrive.app"; }

  // Runs the whole launch under the event loop, as main does. Returns false if the
  // loop had to be stopped by the watchdog or ended before the worker had finished.
  bool Launch(const std::function<void(DialogWatcher&)>& prepare = nullptr) {
    LanguageScope language("en_US.UTF-8");
    Launcher* launcher = new Launcher();
    DialogWatcher watcher(launcher->Progress());
    if (prepare) prepare(watcher);
    bool timed_out = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&timed_out] {
      timed_out = true;
      QCoreApplication::quit();
    });
    watchdog.start(60000);
    launcher->Run();
    launcher->Start();
    exit_code_ = QApplication::exec();
    const bool finished = !timed_out && HasLog("DEBUG launcher.cpp: done");
    // A launcher whose thread may still run cannot be deleted safely; leak it then.
    if (finished) delete launcher;
    shown_ = watcher.on_show;
    hidden_ = watcher.on_hide;
    values_ = watcher.values;
    return finished;
  }

  // The log's lines of the given source as "LEVEL file: message".
  std::vector<std::string> Log(const std::string& file = "launcher.cpp") const {
    std::vector<std::string> out;
    for (const qvtest::LogLine& l : qvtest::ReadLogLines(log_))
      if (l.file == file) out.push_back(l.Short());
    return out;
  }
  bool HasLog(const std::string& entry) const {
    for (const std::string& line : Log())
      if (line == entry) return true;
    return false;
  }

  std::string home_, root_, marker_, log_;
  QByteArray saved_home_;
  int exit_code_ = -1;
  std::vector<DialogState> shown_, hidden_;
  std::vector<int> values_;
};

}  // namespace

TEST_F(SequenceTest, CurrentCopyIsStartedWithoutDialog) {
  StagePackage("5");
  MakeClientTree(UserApp(), "5");
  ASSERT_TRUE(Launch());
  EXPECT_EQ(exit_code_, 0);
  EXPECT_EQ(Log(), (std::vector<std::string>{"DEBUG launcher.cpp: running",
                                             "DEBUG launcher.cpp: no need to upgrade",
                                             "DEBUG launcher.cpp: done"}));
  EXPECT_TRUE(shown_.empty());
  EXPECT_EQ(qvtest::ReadFile(marker_), "5 start\n");
}

TEST_F(SequenceTest, UpgradeShowsProgressThenReadyAndStartsTheNewCopy) {
  StagePackage("7");
  MakeFile(root_ + "/package/skylodge/lib/data", std::string(8 << 20, 'd'));
  MakeClientTree(UserApp(), "3");
  ASSERT_TRUE(Launch());
  EXPECT_EQ(exit_code_, 0);
  // The copy moves the bar by bytes; each new value is logged.
  std::vector<std::string> log = Log(), progress;
  for (const std::string& line : log) {
    if (line.rfind("DEBUG launcher.cpp: progress ", 0) == 0) progress.push_back(line);
  }
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), "DEBUG launcher.cpp: progress 100%");
  EXPECT_EQ(log.front(), "DEBUG launcher.cpp: running");
  EXPECT_EQ(log.back(), "DEBUG launcher.cpp: done");
  EXPECT_EQ(log.size(), progress.size() + 2);
  EXPECT_TRUE(std::is_sorted(values_.begin(), values_.end()));
  ASSERT_FALSE(values_.empty());
  EXPECT_EQ(values_.back(), 100);

  ASSERT_EQ(shown_.size(), 1u);
  EXPECT_EQ(shown_[0].value, 0);
  EXPECT_EQ(shown_[0].label, kInitializing);
  ASSERT_EQ(hidden_.size(), 1u);
  EXPECT_EQ(hidden_[0].value, 100);
  EXPECT_EQ(hidden_[0].label, kReady);

  EXPECT_EQ(qvtest::ReadFile(UserApp() + "/INFO"), "[Version]\nbuild_version=7\n");
  EXPECT_EQ(qvtest::ReadFile(marker_), "7 start\n");
}

TEST_F(SequenceTest, FailedUpgradeIsLoggedAndTheOldCopyStillStarts) {
  // A newer version is announced but its package tree is missing: the copy fails and
  // the user's copy is put back.
  MakeFile(root_ + "/INFO", "[Version]\nbuild_version=9\n");
  MakeClientTree(UserApp(), "3");
  ASSERT_TRUE(Launch());
  EXPECT_EQ(exit_code_, 0);
  EXPECT_EQ(Log(), (std::vector<std::string>{"DEBUG launcher.cpp: running",
                                             "ERROR launcher.cpp: Failed to upgrade package",
                                             "DEBUG launcher.cpp: done"}));
  ASSERT_EQ(hidden_.size(), 1u);
  EXPECT_EQ(hidden_[0].label, kInitializing);
  EXPECT_EQ(qvtest::ReadFile(UserApp() + "/INFO"), "[Version]\nbuild_version=3\n");
  EXPECT_EQ(qvtest::ReadFile(marker_), "3 start\n");
}

TEST_F(SequenceTest, ClosingTheDialogDoesNotCutTheLaunchShort) {
  // The new copy's start script keeps the worker busy after the dialog appeared.
  StagePackage("8", 1500);
  ProcessingProgressDialog* dialog = nullptr;
  ASSERT_TRUE(Launch([&dialog](DialogWatcher& watcher) {
    dialog = launchertest::FindDialog();
    watcher.show_hook = [&dialog] {
      dialog->close();
      QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
      QApplication::sendEvent(dialog, &escape);
    };
  }));
  EXPECT_EQ(exit_code_, 0);
  EXPECT_EQ(shown_.size(), 1u);
  EXPECT_EQ(qvtest::ReadFile(marker_), "8 start\n");
}

TEST_F(SequenceTest, ExtractionProgressReachesTheDialog) {
  // Three entries unpacked by the real extractor on another thread: 33, 66, 100.
  const std::string src = qvtest::MakeTempDir("src");
  MakeFile(src + "/a", "a");
  MakeFile(src + "/b", "b");
  MakeFile(src + "/c", "c");
  const std::string archive = qvtest::MakeTempDir("archive") + "/three.tar";
  ASSERT_EQ(qvtest::Shell("bsdtar -cf '" + archive + "' -C '" + src + "' a b c"), 0);
  const std::string target = qvtest::MakeTempDir("target");

  LanguageScope language("en_US.UTF-8");
  Launcher launcher;
  DialogWatcher watcher(launcher.Progress());
  Notify_Adapter::GetInstance().UpdateDialogText("replaced");
  QThread* worker = QThread::create([&] {
    Extractor extractor;
    extractor.SetSource(ustring(archive));
    extractor.SetTarget(ustring(target));
    extractor.Extract();
    // Reports without a positive total carry no percentage and are dropped.
    Notify_Adapter::GetInstance().UpdateProgress(0, 1);
    Notify_Adapter::GetInstance().UpdateProgress(-3, 1);
  });
  worker->start();
  ASSERT_TRUE(worker->wait(30000));
  delete worker;
  // Queued to the dialog's thread: nothing arrives before the main thread's events run.
  EXPECT_TRUE(watcher.values.empty());
  QCoreApplication::sendPostedEvents();
  QCoreApplication::processEvents();

  EXPECT_EQ(watcher.values, (std::vector<int>{33, 66, 100}));
  EXPECT_EQ(Str(LabelOf(*launchertest::FindDialog())), kInitializing);
  EXPECT_TRUE(Exists(target + "/c"));
}

TEST_F(SequenceTest, LargeCountsDoNotOverflowThePercentage) {
  Launcher launcher;
  QMetaObject::invokeMethod(&launcher, "UpdateProgress", Q_ARG(int, 2000000000), Q_ARG(int, 1000000000));
  ProcessingProgressDialog* dialog = launchertest::FindDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->value(), 50);
}
