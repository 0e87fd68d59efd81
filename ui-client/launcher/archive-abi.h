#pragma once
// libarchive's headers, for code built with a 64-bit time_t and off_t. Debian's
// libarchive for 32-bit x86 is built with a 32-bit time_t, so its calls that carry a
// time_t, a dev_t or a struct stat would disagree with ours there; the sizes and
// offsets it takes are la_int64_t and agree everywhere. The calls that would disagree
// are made errors here: time or device data would have to come through a translation
// unit built with libarchive's own types.
#include <archive.h>
#include <archive_entry.h>

#pragma GCC poison archive_entry_atime archive_entry_birthtime archive_entry_ctime
#pragma GCC poison archive_entry_mtime archive_entry_set_atime archive_entry_set_birthtime
#pragma GCC poison archive_entry_set_ctime archive_entry_set_mtime archive_entry_stat
#pragma GCC poison archive_entry_copy_stat archive_entry_dev archive_entry_set_dev
#pragma GCC poison archive_entry_rdev archive_entry_set_rdev archive_read_disk_entry_from_file
#pragma GCC poison archive_match_include_time
