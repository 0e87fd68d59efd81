// Prints the progress dialog's width as laid out in a fresh process, whose display
// density comes from the environment (QT_FONT_DPI) when the application starts.
#include <QApplication>
#include <cstdio>

#include "launcher.h"
#include "strtab.h"

static void InitTextsResource() { Q_INIT_RESOURCE(texts); }

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  InitTextsResource();
  StrTable::InitStrTable();
  ProcessingProgressDialog dialog;
  dialog.show();
  QApplication::processEvents();
  std::printf("dialog width=%d\n", dialog.width());
  return 0;
}
