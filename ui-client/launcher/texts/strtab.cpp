#include "strtab.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QLatin1String>

namespace StrTable {

const char* stab[NUM_STRING_IDS];
const char* ktab[NUM_STRING_IDS];

namespace {

struct Row {
  const char* key;
  const char* text;
};

// The generator writes the rows in id order without gaps, so the position is the id.
constexpr Row kRows[] = {
#define QV_STR_ROW(id, key, text) {#key, text},
#include "strtab_rows.inc"
#undef QV_STR_ROW
};
static_assert(sizeof(kRows) / sizeof(kRows[0]) == NUM_STRING_IDS,
              "every id needs exactly one row");

}  // namespace

void InitStrTable() {
  for (int id = 0; id < NUM_STRING_IDS; ++id) {
    stab[id] = kRows[id].text;
    ktab[id] = kRows[id].key;
  }
}

QString LoadStr(int id) {
  if (id < 0 || id >= NUM_STRING_IDS || stab[id] == nullptr) {
    return QString();
  }
  QString text = QCoreApplication::translate("global", stab[id], nullptr, -1);
  text.replace(QLatin1String("\\n"), QLatin1String("\n"));
  text.replace(QLatin1String("\\t"), QLatin1String("\t"));
  return text;
}

QString LoadStrWithAppName(int id) {
  return LoadStr(id).arg(LoadStr(app_name_drive_client), 0, QLatin1Char(' '));
}

int LookupStrID(QString key) {
  const QByteArray local = key.toLocal8Bit();
  for (int id = 0; id < NUM_STRING_IDS; ++id) {
    if (qstricmp(local.constData(), ktab[id]) == 0) {
      return id;
    }
  }
  return -1;
}

}  // namespace StrTable
