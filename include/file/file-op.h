// The small file-system layer: describing paths, splitting them as text, reading
// folders, and creating, copying, moving and removing files and trees. Paths are
// handed to the system as the UTF-8 bytes of their ustring, unchanged.
#pragma once

#include <dirent.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <functional>

#include "ustring/ustring.h"

typedef enum _FILE_TYPE_tag {
  FT_ERR = 0,    // unknown, or nothing there
  FT_FILE = 1,   // regular file
  FT_DIR = 2,    // folder
  FT_SLINK = 3,  // symbolic link
  FT_HLINK = 4,  // hard link (declared; nothing produces it)
  FT_DEV = 5,    // character or block device
  FT_FIFO = 6,   // named pipe
  FT_SOCK = 7    // socket
} FILE_TYPE;

typedef struct _FILE_INFO_tag {
  ustring path;            // the path exactly as passed in
  ustring name;            // its last component, as FSBaseName gives it
  FILE_TYPE type = FT_ERR; // the object itself: a symbolic link is FT_SLINK
  uint32_t mtime = 0;      // seconds since the Unix epoch
  uint64_t size = 0;
  bool isExist = false;
  uint32_t uid = 0;
  uint32_t gid = 0;
  uint32_t mode = 0;       // kind and permission bits
  uint64_t dev_id = 0;
} FILE_INFO;

// Equal when isExist, size, mtime, type, path and name agree; owner, mode and device
// take no part.
bool operator==(const FILE_INFO& a, const FILE_INFO& b);
bool operator!=(const FILE_INFO& a, const FILE_INFO& b);

typedef struct _DIR_HANDLE_tag {
  ustring path;       // the folder as opened
  int flag = 0;       // bit 0 (1): FSReadDir reports each entry's size and time
  DIR* dp = nullptr;  // the system's directory stream
} DIR_HANDLE;

typedef struct _DIR_ENTRY_tag {
  ustring name;            // entry name without folder
  FILE_TYPE type = FT_ERR;
  uint32_t mtime = 0;
  uint64_t size = 0;
} DIR_ENTRY;

// ---- Information, paths and directory reading -------------------------------------

// 0 with info filled (a missing path gives isExist false), -1 on any other failure.
int GetFileInfo(const ustring& path, FILE_INFO& info);
// 0, -1 for an empty path, -2 when the information cannot be had.
int FSStat(const ustring& path, FILE_INFO& info, bool do_case_check = false);
bool IsFileExist(const ustring& path, bool do_case_check = false);

ustring FSParentPath(const ustring& path);
ustring FSBaseName(const ustring& path);
// Whether child is parent or lies below it, compared as bytes.
bool FSIsParentFolder(const ustring& parent, const ustring& child);
// 0 with path resolved, -1 with path unchanged.
int FSGetRealPath(ustring& path);

// FSReadDir: 1 with entry filled, 0 at the end, -1 when the entry cannot be described.
int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh);
int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry);
void FSCloseDir(DIR_HANDLE& dh);

int FSReadSymbolicLink(const ustring& link_path, ustring& target_path);
bool FSTimeEqual(time_t a, time_t b);

// flag is an access() mode; "locked" means access is refused (EPERM, EACCES).
bool isFileLocked(const ustring& path, int flag);
bool hasFilePermission(const ustring& path, int flag);
// Whether the path lies on an NFS, CIFS or FUSE file system.
bool isMountPoint(const ustring& path);
// Whether the path lies on a FAT file system.
bool IsMSDOS(const ustring& path);

// ---- Copy, create, rename and remove -----------------------------------------------

// 0 the folder exists or was made; -1 bad path or something else is there; -2 failed.
int FSMKDir(const ustring& path, bool isCreateParent);
// Makes every missing folder of a chain. mode (mode_t)-1 means 0777 under the umask;
// any other mode is applied exactly. endptr, when given, points into path's UTF-8
// text where the walk stopped.
int FSMKDirP(const ustring& path, char** endptr, bool blForceCreate, mode_t mode);
// Makes the folders of path below the existing root from, one level at a time.
int FSMKDirFromRoot(const ustring& path, const ustring& from);
// 0; -1 failure; -2 out of disk space or quota. The copy is on disk when it returns.
int FSCopy(const ustring& src, const ustring& dst, bool isDelOrigin, bool isCopyPermission);
// Receives the bytes of file data copied since its last call.
using FSCopyProgress = std::function<void(uint64_t bytes)>;
// FSCopy without the wait for the disk, so that a whole tree of copies can be made
// durable at once (FSSyncFileSystem). Results as FSCopy's.
int FSCopyNoSync(const ustring& src, const ustring& dst, bool isCopyPermission,
                 const FSCopyProgress& progress = FSCopyProgress());
// FSCopyNoSync into a new file only: it fails when anything stands at dst (a file, a
// link, a pipe), so that it never writes through what it finds there. With
// isCopyPermission the mode is the source's exactly, whatever the umask. A destination
// that cannot be made is not logged: the caller says why it failed (errno), if at all.
int FSCopyToNew(const ustring& src, const ustring& dst, bool isCopyPermission,
                const FSCopyProgress& progress = FSCopyProgress());
// A descriptor on the file system that holds path, to be opened before writing to it:
// the file system reports a write-back error only to a flush through a descriptor that
// was open when the error happened. -1 when path cannot be opened (logged).
int FSOpenSyncPoint(const ustring& path);
// Flushes everything written to the file system of sync_point (syncfs), reports a
// write-back error met since it was opened, and closes it; 0 or -1, logged with path.
int FSSyncFileSystem(int sync_point, const ustring& path);
// Flushes one file or folder (for a folder: its entries, after renames in it); 0 or -1.
int FSSyncEntry(const ustring& path);
// 0; -1 empty path; -2 source missing; -3 failure; -100 name too long.
int FSRename(const ustring& from, const ustring& to, bool do_case_check = false);
// 0 removed or absent; -1 bad path; -3 failure.
int FSRemove(const ustring& path, bool allowundo = false);
int FSMktemp(const ustring& prefix, ustring& path);
int FSCreateTempPath(const ustring& prefix, ustring& path);
int FSUTime(const ustring& path, time_t atime, time_t mtime);
int FSCreateSymbolicLink(const ustring& target_path, const ustring& link_path);
int FSChown(const ustring& path, uid_t owner, gid_t group);
