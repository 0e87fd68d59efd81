// Display density of the primary screen, as a scale factor relative to 96 logical DPI.
#pragma once

#include <QString>

class DPIinfo {
 public:
  static DPIinfo* getInstance();

  // Scale factor of the primary screen: 1.0 at 96 logical DPI, 1.5 at 144. 1.0 when no
  // application or screen exists. Measured afresh on each call.
  double getDPI() const;

  // The style sheet with every pixel length ("12px") scaled by getDPI(), rounded to the
  // nearest whole pixel; lengths in other units and all other text are left alone.
  QString getScaledStyleSheet(QString sheet) const;

  // The same scaling for a given factor; getScaledStyleSheet uses it.
  static QString scaleStyleSheet(const QString& sheet, double factor);

 private:
  DPIinfo() = default;
  DPIinfo(const DPIinfo&) = delete;
  DPIinfo& operator=(const DPIinfo&) = delete;
};
