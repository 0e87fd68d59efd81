// The libarchive calls of the extractor, reached through libquenvale-archive.so (see
// modules.h) so that the launcher itself does not link libarchive. A call is named
// without its "archive_" prefix: a poisoned one of archive-abi.h is still an error here.
#pragma once

#include "archive-abi.h"

#define QV_ARCHIVE_CALLS(X)                                                            \
  X(error_string) X(read_new) X(read_support_filter_all) X(read_support_format_all)   \
  X(read_open_filename) X(read_next_header) X(read_data_skip) X(read_data_block)      \
  X(read_extract2) X(read_free) X(write_disk_new) X(write_disk_set_options)          \
  X(write_data_block) X(write_finish_entry) X(write_free) X(entry_pathname)          \
  X(entry_hardlink) X(entry_filetype) X(entry_set_pathname) X(entry_set_hardlink)

struct ArchiveCalls {
#define QV_ARCHIVE_FIELD(name) decltype(&::archive_##name) name;
  QV_ARCHIVE_CALLS(QV_ARCHIVE_FIELD)
#undef QV_ARCHIVE_FIELD
};

const char kArchiveModule[] = "libquenvale-archive.so";
extern "C" const ArchiveCalls* qv_archive_calls();
