// The notification's words and when it comes again; what reaches the desktop is tested
// on the installed launcher with a real session bus in tests/e2e.
#include <gtest/gtest.h>

#include "desktop-notice.h"
#include "strtab.h"

using DesktopNotice::Cause;
using DesktopNotice::Due;
using DesktopNotice::Failure;

namespace {

TEST(DesktopNotice, ComesAgainOnlyForAnotherCauseOrBuildOrAfterADay) {
  const int64_t told = 1700000000;
  const QByteArray record = "cause=no-space\nbuild=1002\ntime=1700000000\n";
  EXPECT_FALSE(Due(record, "no-space", "1002", told + 23 * 3600));
  EXPECT_TRUE(Due(record, "no-space", "1002", told + 24 * 3600));
  EXPECT_TRUE(Due(record, "no-space", "1003", told + 60));
  EXPECT_TRUE(Due(record, "noexec", "1002", told + 60));
  EXPECT_TRUE(Due(record, "no-space", "1002", told - 60)) << "a clock put back";
  EXPECT_TRUE(Due("", "no-space", "1002", told));
  EXPECT_TRUE(Due("cause=no-space\nbuild=1002\ntime=soon\n", "no-space", "1002", told));
  // A foreign folder is another cause for another folder.
  EXPECT_NE(CauseKey(Failure{Cause::kForeignFolder, "/h/a", "", "", 0, 0}),
            CauseKey(Failure{Cause::kForeignFolder, "/h/b", "", "", 0, 0}));
}

TEST(DesktopNotice, SaysWhatHappenedAndWhatToDo) {
  StrTable::InitStrTable();
  const QString log = QStringLiteral("/h/.QuenvaleDrive/log/launcher.log");
  const Failure space{Cause::kNoSpace, "/h/.QuenvaleDrive", "", "", 16800001, 7000000};
  DesktopNotice::Text text = Compose(space, false, log);
  EXPECT_EQ("Quenvale Drive could not be installed", text.summary.toStdString());
  // Rounded so that freeing what it says is enough.
  EXPECT_EQ("Not enough space in /h/.QuenvaleDrive: 17 MB needed, 7 MB free; free 10 MB there, then start "
            "Quenvale Drive again.",
            text.body.toStdString());
  EXPECT_EQ(2, text.urgency);
  text = Compose(space, true, log);
  EXPECT_EQ("Quenvale Drive could not be updated; the previous version runs on", text.summary.toStdString());
  EXPECT_EQ(1, text.urgency);

  text = Compose(Failure{Cause::kNotStarted, "", "'/s': Permission denied", "", 0, 0}, true, log);
  EXPECT_EQ("Quenvale Drive could not be started", text.summary.toStdString());
  EXPECT_EQ("'/s': Permission denied\nThe log is in " + log.toStdString() + ".", text.body.toStdString());
  EXPECT_EQ(2, text.urgency) << "installed, yet no client runs";

  text = Compose(Failure{Cause::kForeignFolder, "/h/.QuenvaleDrive", "", "", 0, 0}, true, log);
  EXPECT_EQ("The folder /h/.QuenvaleDrive belongs to another user, so Quenvale Drive cannot use it. Remove it or "
            "give it back to your user, then start Quenvale Drive again.",
            text.body.toStdString());

  text = Compose(Failure{Cause::kRolledBack, "", "", "1003", 0, 0}, true, log);
  EXPECT_EQ("Quenvale Drive went back to the previous version", text.summary.toStdString());
  EXPECT_EQ("The new build 1003 did not start, so the previous version was put back. The log is in " +
                log.toStdString() + ".",
            text.body.toStdString());
  EXPECT_EQ(1, text.urgency);
}

}  // namespace
