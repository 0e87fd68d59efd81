// libquenvale-archive.so: the libarchive calls that the extractor makes (archive-calls.h).
#include "archive-calls.h"

extern "C" const ArchiveCalls* qv_archive_calls() {
  static const ArchiveCalls calls = {
#define QV_ARCHIVE_ADDRESS(name) &::archive_##name,
      QV_ARCHIVE_CALLS(QV_ARCHIVE_ADDRESS)
#undef QV_ARCHIVE_ADDRESS
  };
  return &calls;
}
