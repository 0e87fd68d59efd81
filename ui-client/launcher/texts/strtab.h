// The table of user-visible texts, addressed by StringID and translated when fetched.
// Rows come from strtab.txt; the build turns it into strtab_rows.inc, one
// QV_STR_ROW(id, key, "English text") per id in id order.
#pragma once

#include <QString>

namespace StrTable {

enum StringID {
#define QV_STR_ROW(id, key, text) key = id,
#include "strtab_rows.inc"
#undef QV_STR_ROW
};

// Counted from the rows themselves so that it cannot drift from the enumeration.
constexpr int NUM_STRING_IDS = 0
#define QV_STR_ROW(id, key, text) +1
#include "strtab_rows.inc"
#undef QV_STR_ROW
    ;

// English text and key of each row, indexed by StringID; empty until InitStrTable.
extern const char* stab[NUM_STRING_IDS];
extern const char* ktab[NUM_STRING_IDS];

// Fills stab and ktab. Call once on the main thread before any other thread reads them.
void InitStrTable();

// The row's text in the installed language (English without a translation), with
// the escapes backslash-n and backslash-t turned into a line feed and a tab.
// An id outside the table gives an empty string.
QString LoadStr(int id);

// The id whose key equals key without regard to case, or -1.
int LookupStrID(QString key);

// Row id with its "%1" filled by the application's name (row app_name_drive_client),
// as the progress labels show it.
QString LoadStrWithAppName(int id);

}  // namespace StrTable
