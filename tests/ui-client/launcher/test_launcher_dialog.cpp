#include <QDir>
#include <QIcon>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "launcher_test_util.h"
#include "texts/catalogue_texts.h"
#include "test_env.h"
#include "build_paths.h"

using launchertest::LabelOf;
using launchertest::LanguageScope;
using launchertest::Str;

namespace {

const char kAppName[] = "Quenvale Drive Client";

class DialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { InitTextsResource(); }

  void SetUp() override {
    // A resource root with the real icon, as the install lays it out.
    root_ = QString::fromStdString(qvtest::MakeTempDir("root"));
    QDir().mkpath(root_ + "/images");
    QFile::copy(QString::fromStdString(QV_SOURCE_DIR + "/ui-client/launcher/linux/resources/ico_72_sky_lodge.png"),
                root_ + "/images/ico_72_sky_lodge.png");
    UIPathManager::getInstance()->setPath(QStringLiteral("root_resource_path"), root_);
  }

  QString root_;
};

}  // namespace

TEST_F(DialogTest, EnglishDialogIsConfiguredForAnUninterruptibleUpgrade) {
  LanguageScope language("en_US.UTF-8");
  ProcessingProgressDialog dialog;
  dialog.setCancelButton(nullptr);  // as the launcher does
  dialog.setAutoReset(false);

  EXPECT_EQ(Str(dialog.windowTitle()), kAppName);
  EXPECT_EQ(Str(LabelOf(dialog)), "Quenvale Drive Client is initializing...");
  EXPECT_EQ(dialog.value(), 0);
  EXPECT_EQ(dialog.minimum(), 0);
  EXPECT_EQ(dialog.maximum(), 100);
  EXPECT_FALSE(dialog.windowIcon().isNull());
  EXPECT_FALSE(dialog.isVisible());

  // Title bar with its system menu and nothing else: no close, minimise or help button.
  EXPECT_EQ(static_cast<unsigned>(dialog.windowFlags() & ~Qt::WindowType_Mask),
            static_cast<unsigned>(Qt::WindowTitleHint | Qt::WindowSystemMenuHint));
  EXPECT_EQ(dialog.windowModality(), Qt::WindowModal);
  EXPECT_TRUE(dialog.isModal());
  EXPECT_EQ(Str(dialog.font().family()), "Arial");
  EXPECT_EQ(dialog.font().pointSize(), 9);
  EXPECT_TRUE(dialog.styleSheet().contains("background-color: WhiteSmoke")) << Str(dialog.styleSheet());
}

TEST_F(DialogTest, LauncherDialogHasNoCancelButtonAndStaysAtFull) {
  LanguageScope language("en_US.UTF-8");
  Launcher launcher;
  // Made when first needed: the fonts its widgets load would slow a start with nothing
  // to do.
  EXPECT_EQ(launchertest::FindDialog(), nullptr);
  QMetaObject::invokeMethod(&launcher, "UpdateProgress", Q_ARG(int, 0), Q_ARG(int, 0));
  EXPECT_EQ(launchertest::FindDialog(), nullptr);
  ProcessingProgressDialog* dialog = launcher.Progress();
  ASSERT_EQ(launchertest::FindDialog(), dialog);
  EXPECT_TRUE(dialog->findChildren<QPushButton*>().isEmpty());
  EXPECT_FALSE(dialog->autoReset());

  QMetaObject::invokeMethod(&launcher, "ShowMsgBox");
  ASSERT_TRUE(dialog->isVisible());
  QMetaObject::invokeMethod(&launcher, "UpdateProgress", Q_ARG(int, 3), Q_ARG(int, 3));
  // Reaching the maximum neither resets nor hides the dialog.
  EXPECT_EQ(dialog->value(), 100);
  EXPECT_TRUE(dialog->isVisible());
  // A screen reader names the bar by what the label says, and follows its changes.
  QProgressBar* bar = dialog->findChild<QProgressBar*>();
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(Str(bar->accessibleName()), "Quenvale Drive Client is initializing...");
  QMetaObject::invokeMethod(&launcher, "SetLabelText", Q_ARG(QString, QStringLiteral("Quenvale Drive Client is ready.")));
  EXPECT_EQ(Str(bar->accessibleName()), "Quenvale Drive Client is ready.");
  dialog->hide();
}

TEST_F(DialogTest, LanguageWithoutCatalogueFallsBackToEnglishAndArial) {
  LanguageScope language("fi_FI.UTF-8");
  ProcessingProgressDialog dialog;
  EXPECT_EQ(Str(LabelOf(dialog)), "Quenvale Drive Client is initializing...");
  EXPECT_EQ(Str(dialog.font().family()), "Arial");
  EXPECT_EQ(dialog.font().pointSize(), 9);
}

// Renders the dialog in every language into the build folder, so that a person can
// look at the result; each must carry its own translated label, the untranslated
// application name as title, and its language's font.
TEST_F(DialogTest, RendersInAllLanguages) {
  const QString out_dir = QString::fromStdString(QV_BINARY_DIR + "/launcher-dialog-screens");
  ASSERT_TRUE(QDir().mkpath(out_dir));
  for (const texttest::Catalogue& lang : texttest::kCatalogues) {
    LanguageScope language(lang.locale);
    ProcessingProgressDialog dialog;
    dialog.setCancelButton(nullptr);
    dialog.setValue(33);
    const QString expected = QString::fromUtf8(lang.preparing).arg(QLatin1String(kAppName));
    EXPECT_EQ(Str(LabelOf(dialog)), Str(expected)) << lang.code;
    EXPECT_EQ(Str(dialog.windowTitle()), kAppName) << lang.code;
    // Thai has a font of its own.
    EXPECT_EQ(Str(dialog.font().family()),
              std::string(lang.code) == "tha" ? "Microsoft Sans Serif" : "Arial")
        << lang.code;
    EXPECT_EQ(dialog.font().pointSize(), 9) << lang.code;
    dialog.show();
    QApplication::processEvents();
    const QImage image = dialog.grab().toImage();
    EXPECT_EQ(image.width(), dialog.width()) << lang.code;
    EXPECT_TRUE(image.save(out_dir + "/" + lang.code + ".png")) << lang.code;
    dialog.hide();
  }
}

TEST_F(DialogTest, DoesNotShowItselfWhenWorkTakesLong) {
  // QProgressDialog normally pops up on its own after a few seconds; this dialog may
  // only be shown by the launcher (the no-upgrade path never shows it).
  LanguageScope language("en_US.UTF-8");
  Launcher launcher;
  QMetaObject::invokeMethod(&launcher, "UpdateProgress", Q_ARG(int, 2), Q_ARG(int, 0));
  ProcessingProgressDialog* dialog = launchertest::FindDialog();
  ASSERT_NE(dialog, nullptr);
  QEventLoop loop;
  QTimer::singleShot(4500, &loop, &QEventLoop::quit);
  loop.exec();
  QMetaObject::invokeMethod(&launcher, "UpdateProgress", Q_ARG(int, 2), Q_ARG(int, 1));
  EXPECT_FALSE(dialog->isVisible());
}

// Widths at the three usual densities need a process each: the density is fixed when
// the application starts, so a small probe program lays the dialog out in a child.
TEST(DialogScale, WidthFollowsTheScaleFactor) {
  const struct {
    const char* dpi;
    int width;
  } cases[] = {{"96", 400}, {"120", 500}, {"144", 600}, {"100", 416}};
  for (const auto& c : cases) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_FONT_DPI", c.dpi);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationDirPath() + QStringLiteral("/dialog_scale_probe"),
                QStringList());
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString out = QString::fromUtf8(child.readAllStandardOutput());
    EXPECT_TRUE(out.contains(QStringLiteral("dialog width=%1\n").arg(c.width)))
        << "dpi " << c.dpi << ":\n" << Str(out);
  }
}
