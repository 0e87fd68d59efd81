#include "dpiinfo.h"

#include <QGuiApplication>
#include <QRegularExpression>
#include <QScreen>
#include <cmath>

namespace {
constexpr double kStandardDpi = 96.0;
}

DPIinfo* DPIinfo::getInstance() {
  static DPIinfo instance;
  return &instance;
}

double DPIinfo::getDPI() const {
  // Without a GUI application there is no screen to ask; behave as a standard display.
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) == nullptr) return 1.0;
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return 1.0;
  const double dpi = screen->logicalDotsPerInch();
  if (!(dpi > 0.0)) return 1.0;
  return dpi / kStandardDpi;
}

QString DPIinfo::getScaledStyleSheet(QString sheet) const { return scaleStyleSheet(sheet, getDPI()); }

QString DPIinfo::scaleStyleSheet(const QString& sheet, double factor) {
  // A length is a number directly followed by "px" that is not part of a longer word
  // or number or colour (so "a12px", "1.5.2px" and "#000px" are left alone).
  static const QRegularExpression length(
      QStringLiteral("(?<![\\w.#])(-?)(\\d+(?:\\.\\d+)?|\\.\\d+)px\\b"),
      QRegularExpression::CaseInsensitiveOption);
  QString out;
  out.reserve(sheet.size());
  int last = 0;
  auto it = length.globalMatch(sheet);
  while (it.hasNext()) {
    const QRegularExpressionMatch m = it.next();
    out += sheet.midRef(last, m.capturedStart() - last);
    const double value = m.captured(2).toDouble() * factor;
    const long long scaled = std::llround(value);
    // A non-zero length never collapses to zero.
    const long long px = (scaled == 0 && value > 0.0) ? 1 : scaled;
    out += m.captured(1);
    out += QString::number(px);
    out += QStringLiteral("px");
    last = m.capturedEnd();
  }
  out += sheet.midRef(last);
  return out;
}
