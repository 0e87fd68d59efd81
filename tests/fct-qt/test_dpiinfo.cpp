#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>

#include "dpiinfo.h"
#include "build_paths.h"

namespace {

// Runs the helper with the offscreen platform at the given logical DPI and returns what
// it printed; the scale factor is fixed per process, so each density needs its own.
QString RunAtDpi(const QString& dpi, const QString& sheet) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("QT_FONT_DPI"), dpi);
  p.setProcessEnvironment(env);
  p.start(QString::fromStdString(FCT_QT_HELPER), {QStringLiteral("dpi"), sheet});
  if (!p.waitForFinished(30000)) return QStringLiteral("timeout");
  return QString::fromUtf8(p.readAllStandardOutput());
}

}  // namespace

TEST(DPIinfo, FactorIsLogicalDpiOver96AndScalesStyleSheets) {
  const QString sheet = QStringLiteral("QLabel { margin: 4px; font-size: 12px; width: 50%; }");
  struct Case {
    const char* dpi;
    const char* factor;
    const char* scaled;
  } cases[] = {
      {"96", "dpi=1.0000", "QLabel { margin: 4px; font-size: 12px; width: 50%; }"},
      {"120", "dpi=1.2500", "QLabel { margin: 5px; font-size: 15px; width: 50%; }"},
      {"144", "dpi=1.5000", "QLabel { margin: 6px; font-size: 18px; width: 50%; }"},
  };
  for (const Case& c : cases) {
    const QString out = RunAtDpi(QString::fromLatin1(c.dpi), sheet);
    EXPECT_TRUE(out.contains(QString::fromLatin1(c.factor))) << c.dpi << ": " << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("sheet=") + QString::fromLatin1(c.scaled)))
        << c.dpi << ": " << out.toStdString();
  }
}

TEST(DPIinfo, ScalingTouchesOnlyPixelLengths) {
  auto scale = [](const char* in, double f) { return DPIinfo::scaleStyleSheet(QString::fromUtf8(in), f).toStdString(); };
  EXPECT_EQ(scale("a { border: 1px solid #000px; padding: 0px -3px 2.5px .5px; }", 1.5),
            "a { border: 2px solid #000px; padding: 0px -5px 4px 1px; }");
  // Units other than px, names that merely contain "px" and colours stay as they are.
  EXPECT_EQ(scale("QWidget#px2 { font: 9pt; min-width: 10em; background: url(img12px.png); }", 2.0),
            "QWidget#px2 { font: 9pt; min-width: 10em; background: url(img12px.png); }");
  EXPECT_EQ(scale("b { width: 10PX; }", 1.25), "b { width: 13px; }");
  // A tiny non-zero length never vanishes at a small factor.
  EXPECT_EQ(scale("c { margin: 1px; }", 0.4), "c { margin: 1px; }");
  EXPECT_EQ(scale("", 1.5), "");
}
