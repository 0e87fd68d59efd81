// The file-system layer: describing, reading, creating, copying, moving and removing.
#define QV_LOG_FILE "file/file-op.cpp"
#include "file/file-op.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "log.h"
#include "tmp_name_gen.h"

// The build gives all of our code 64-bit offsets, inode numbers and times (the top-level
// CMakeLists.txt); without them this layer would fail on 32-bit x86 for large files,
// large file systems and dates past 2038.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8 && sizeof(time_t) == 8,
              "compile with _FILE_OFFSET_BITS=64 and _TIME_BITS=64");

#define FILE_OP_LOG "file_op_debug"

namespace {

// The buffer of the read/write loop, used only where the kernel will not copy.
const size_t kCopyBufferSize = 1024 * 1024;
// Bytes moved by one copy_file_range call: large enough to cost nothing, small enough
// that progress moves within a big file.
const size_t kKernelCopyChunk = 16 * 1024 * 1024;
const size_t kRealPathBufferSize = 8192;
const size_t kLinkBufferSize = 4096;
const size_t kTempTemplateSize = 4096;

// Not every build environment's headers carry these two.
#ifndef CIFS_MAGIC_NUMBER
#define CIFS_MAGIC_NUMBER 0xff534d42
#endif
#ifndef FUSE_SUPER_MAGIC
#define FUSE_SUPER_MAGIC 0x65735546
#endif

// Log calls may themselves touch errno; callers of this layer read it afterwards.
class ErrnoKeeper {
 public:
  ErrnoKeeper() : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }

 private:
  int saved_;
};

FILE_TYPE TypeFromMode(mode_t mode) {
  if (S_ISREG(mode)) return FT_FILE;
  if (S_ISDIR(mode)) return FT_DIR;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FT_DEV;
  if (S_ISLNK(mode)) return FT_SLINK;
  if (S_ISFIFO(mode)) return FT_FIFO;
  if (S_ISSOCK(mode)) return FT_SOCK;
  return FT_ERR;
}

FILE_TYPE TypeFromDirent(unsigned char d_type) {
  switch (d_type) {
    case DT_REG:
      return FT_FILE;
    case DT_DIR:
      return FT_DIR;
    case DT_LNK:
      return FT_SLINK;
    case DT_CHR:
    case DT_BLK:
      return FT_DEV;
    case DT_FIFO:
      return FT_FIFO;
    case DT_SOCK:
      return FT_SOCK;
    default:
      return FT_ERR;
  }
}

bool IsDotOrDotDot(const char* name) {
  return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Whether path names a folder, following links.
bool IsFolder(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// True when path is missing or is a folder (not a link to one) with no entries.
bool IsEmptyOrMissingFolder(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return true;  // FSMKDir refuses it next
  DIR* dp = opendir(path);
  if (dp == nullptr) return false;
  bool empty = true;
  struct dirent* de;
  while (empty && (de = readdir(dp)) != nullptr) empty = IsDotOrDotDot(de->d_name);
  closedir(dp);
  return empty;
}

// Calls visit(name) for each entry of the folder path but "." and "..", stopping at the
// first call that does not return 0. Returns -3 when the folder cannot be opened or a
// call failed, else 0; errno is left as the walk set it, not as closing the folder did.
template <typename Visit>
int ForEachChild(const ustring& path, Visit visit) {
  DIR* dp = opendir(path.c_str());
  if (dp == nullptr) return -3;
  int result = 0;
  struct dirent* de;
  while ((de = readdir(dp)) != nullptr) {
    if (IsDotOrDotDot(de->d_name)) continue;
    if (visit(de->d_name) != 0) {
      result = -3;
      break;
    }
  }
  int err = errno;
  closedir(dp);
  errno = err;
  return result;
}

// O_NONBLOCK only kept a pipe from blocking the open; the copy itself must block. A
// regular file ignores the flag, so it is left alone there.
bool ClearNonBlock(int fd, const struct stat& st) {
  if (S_ISREG(st.st_mode)) return true;
  int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

// ---- Information, paths and directory reading -------------------------------------

bool operator==(const FILE_INFO& a, const FILE_INFO& b) {
  return a.isExist == b.isExist && a.size == b.size && a.mtime == b.mtime &&
         a.type == b.type && a.path == b.path && a.name == b.name;
}

bool operator!=(const FILE_INFO& a, const FILE_INFO& b) { return !(a == b); }

int GetFileInfo(const ustring& path, FILE_INFO& info) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return -1;
    info.isExist = false;
    info.path = path;
    info.name = FSBaseName(path);
    info.type = FT_ERR;
    info.mtime = 0;
    info.size = 0;
    info.uid = 0;
    info.gid = 0;
    info.mode = 0;
    info.dev_id = 0;
    return 0;
  }
  info.isExist = true;
  info.path = path;
  info.name = FSBaseName(path);
  info.mtime = static_cast<uint32_t>(st.st_mtim.tv_sec);
  info.size = static_cast<uint64_t>(st.st_size);
  info.mode = static_cast<uint32_t>(st.st_mode);
  info.uid = static_cast<uint32_t>(st.st_uid);
  info.gid = static_cast<uint32_t>(st.st_gid);
  info.dev_id = static_cast<uint64_t>(st.st_dev);
  info.type = TypeFromMode(st.st_mode);
  return info.type == FT_ERR ? -1 : 0;
}

int FSStat(const ustring& path, FILE_INFO& info, bool /*do_case_check*/) {
  if (path.empty()) return -1;
  return GetFileInfo(path, info) < 0 ? -2 : 0;
}

bool IsFileExist(const ustring& path, bool /*do_case_check*/) {
  if (path.empty()) return false;
  FILE_INFO info;
  if (GetFileInfo(path, info) != 0) return false;
  return info.isExist;
}

ustring FSParentPath(const ustring& path) {
  const char* text = path.c_str();
  const char* slash = strrchr(text, '/');
  if (slash == nullptr || slash == text) return ustring("/");
  return ustring(std::string(text, static_cast<size_t>(slash - text)));
}

ustring FSBaseName(const ustring& path) {
  const char* text = path.c_str();
  const char* slash = strrchr(text, '/');
  if (slash == nullptr) return path;
  return ustring(slash + 1);
}

bool FSIsParentFolder(const ustring& parent, const ustring& child) {
  size_t n = parent.length();
  if (child.length() < n) return false;
  if (child.length() > n && child.c_str()[n] != '/') return false;
  return memcmp(parent.c_str(), child.c_str(), n) == 0;
}

int FSGetRealPath(ustring& path) {
  QVLOG_DEBUG(FILE_OP_LOG, " org path [%s]\n", path.c_str());
  char resolved[kRealPathBufferSize];
  if (realpath(path.c_str(), resolved) == nullptr) return -1;
  path = resolved;
  QVLOG_DEBUG(FILE_OP_LOG, " get full path [%s]\n", path.c_str());
  return 0;
}

int FSOpenDir(const ustring& path, int flag, DIR_HANDLE& dh) {
  DIR* dp = opendir(path.c_str());
  if (dp == nullptr) {
    ErrnoKeeper keep;
    QVLOG_ERR(FILE_OP_LOG, "FSOpenDir: Failed to open directory '%s'. %s\n", path.c_str(),
              strerror(errno));
    return -1;
  }
  dh.dp = dp;
  dh.path = path;
  dh.flag = flag;
  return 0;
}

int FSReadDir(DIR_HANDLE& dh, DIR_ENTRY& entry) {
  if (dh.dp == nullptr) return 0;
  struct dirent* de = readdir(dh.dp);
  if (de == nullptr) return 0;
  uint32_t mtime = 0;
  uint64_t size = 0;
  if (dh.flag & 1) {
    ustring full = dh.path + "/" + de->d_name;
    FILE_INFO info;
    if (FSStat(full, info, false) < 0) {
      ErrnoKeeper keep;
      QVLOG_ERR(FILE_OP_LOG, "FSOpenDir: Failed to get info for '%s'\n", full.c_str());
      return -1;
    }
    mtime = info.mtime;
    size = info.size;
  }
  entry.mtime = mtime;
  entry.size = size;
  entry.name = de->d_name;
  entry.type = TypeFromDirent(de->d_type);
  return 1;
}

void FSCloseDir(DIR_HANDLE& dh) {
  if (dh.dp != nullptr) closedir(dh.dp);
  dh.dp = nullptr;
  dh.path.clear();
}

int FSReadSymbolicLink(const ustring& link_path, ustring& target_path) {
  char buf[kLinkBufferSize];
  memset(buf, 0, sizeof(buf));
  ssize_t n = readlink(link_path.c_str(), buf, sizeof(buf));
  if (n < 0) {
    int err = errno;
    ErrnoKeeper keep;
    QVLOG_ERR(FILE_OP_LOG,
              "FSReadSymbolicLink: Failed to read symbolic link '%s' (code: %d, msg: %s)\n",
              link_path.c_str(), err, strerror(err));
    return -1;
  }
  if (static_cast<size_t>(n) >= sizeof(buf)) {
    QVLOG_ERR(FILE_OP_LOG, "FSReadSymbolicLink: path of '%s' is more than %d\n",
              link_path.c_str(), static_cast<int>(sizeof(buf)));
    return -1;
  }
  target_path = buf;
  return 0;
}

bool FSTimeEqual(time_t a, time_t b) { return a == b; }

bool isFileLocked(const ustring& path, int flag) {
  if (access(path.c_str(), flag) == 0) return false;
  return errno == EPERM || errno == EACCES;
}

bool hasFilePermission(const ustring& path, int flag) { return !isFileLocked(path, flag); }

bool isMountPoint(const ustring& path) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) {
    ErrnoKeeper keep;
    QVLOG_ERR(FILE_OP_LOG, "isMountPoint: Failed to get file system info '%s'. %s\n",
              path.c_str(), strerror(errno));
    return false;
  }
  // f_type is signed on some ABIs; CIFS's magic has the top bit set.
  uint32_t type = static_cast<uint32_t>(fs.f_type);
  return type == static_cast<uint32_t>(NFS_SUPER_MAGIC) ||
         type == static_cast<uint32_t>(CIFS_MAGIC_NUMBER) ||
         type == static_cast<uint32_t>(FUSE_SUPER_MAGIC);
}

bool IsMSDOS(const ustring& path) {
  struct statfs fs;
  if (statfs(path.c_str(), &fs) != 0) {
    ErrnoKeeper keep;
    QVLOG_ERR(FILE_OP_LOG, "IsSupportLargeFile: Failed to get file system info '%s'. %s\n",
              path.c_str(), strerror(errno));
    return false;
  }
  if (static_cast<uint32_t>(fs.f_type) != static_cast<uint32_t>(MSDOS_SUPER_MAGIC)) return false;
  QVLOG_WARN(FILE_OP_LOG, "Detect a MSDOS platform for path '%s'.\n", path.c_str());
  return true;
}

// ---- Copy, create, rename and remove -----------------------------------------------

int FSMKDir(const ustring& path, bool isCreateParent) {
  if (path.empty()) return -1;
  FILE_INFO info;
  if (GetFileInfo(path, info) != 0) {
    ErrnoKeeper keep;
    QVLOG_ERR(FILE_OP_LOG, "FSMKDir: Failed to to file info '%s'\n", path.c_str());
    return -1;
  }
  if (info.isExist) {
    if (info.type == FT_DIR) return 0;
    QVLOG_ERR(FILE_OP_LOG,
              "FSMKDir: Create a folder but local file system is not directory '%s' (%d)\n",
              path.c_str(), static_cast<int>(info.type));
    return -1;
  }
  if (isCreateParent) {
    if (FSMKDirP(path, nullptr, false, static_cast<mode_t>(-1)) != 0) {
      ErrnoKeeper keep;
      QVLOG_ERR(FILE_OP_LOG, "path = %s errno : %s\n", path.c_str(), strerror(errno));
      return -2;
    }
    return 0;
  }
  if (mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  // Another process may have made it between our look and mkdir.
  if (err == EEXIST && IsFolder(path.c_str())) {
    errno = err;
    return 0;
  }
  QVLOG_ERR(FILE_OP_LOG, "path = %s errno : %s\n", path.c_str(), strerror(err));
  errno = err;
  return -2;
}

int FSMKDirP(const ustring& path, char** endptr, bool blForceCreate, mode_t mode) {
  if (path.empty()) return -1;
  char* copy = strdup(path.c_str());
  if (copy == nullptr) return -1;

  const bool default_mode = (mode == static_cast<mode_t>(-1));
  mode_t old_umask = 0;
  if (default_mode) {
    mode = 0777;
  } else {
    old_umask = umask(0);
  }

  const int entry_errno = errno;
  int result = 0;
  int err = 0;
  size_t stop = 0;
  size_t i = (copy[0] == '/') ? 1 : 0;
  for (;; ++i) {
    char c = copy[i];
    if (c != '/' && c != '\0') continue;
    const bool last = (c == '\0') || (copy[i + 1] == '\0');
    stop = i;
    copy[i] = '\0';  // copy now holds the prefix

    struct stat st;
    bool create = false;
    if (stat(copy, &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        if (blForceCreate) {
          remove(copy);
          create = true;
        } else if (!last) {
          QVLOG_INFO(FILE_OP_LOG, "FSMKDirP: path: %s is symbolic link pointed to folder\n",
                     copy);
        } else {
          err = EEXIST;
          QVLOG_INFO(FILE_OP_LOG,
                     "FSMKDirP: path: %s is existing file or symbolic link pointed to file\n",
                     copy);
          result = -1;
        }
      }
    } else {
      create = true;
    }
    if (create && mkdir(copy, mode) != 0) {
      err = errno;
      if (err == EEXIST && IsFolder(copy)) {
        err = 0;
      } else {
        result = -1;
      }
    }

    copy[i] = c;
    if (result != 0 || last) break;
  }

  if (endptr != nullptr) *endptr = const_cast<char*>(path.c_str()) + stop;
  if (!default_mode) umask(old_umask);
  free(copy);
  errno = (result != 0) ? err : entry_errno;
  return result;
}

int FSMKDirFromRoot(const ustring& path, const ustring& from) {
  if (from.length() > path.length()) {
    QVLOG_ERR(FILE_OP_LOG, "Giving a root '%s' whose length is larger then target's '%s'.\n",
              from.c_str(), path.c_str());
    return -1;
  }
  if (!FSIsParentFolder(from, path)) {
    QVLOG_ERR(FILE_OP_LOG, "root '%s' is not a parent folder of target '%s'\n", from.c_str(),
              path.c_str());
    return -1;
  }
  const std::string relative(path.c_str() + from.length());
  std::string created;
  while (created != relative) {
    size_t slash = relative.find('/', created.length() + 1);
    created = relative.substr(0, slash);
    QVLOG_DEBUG(FILE_OP_LOG, "FSMKDirFromRoot: create %s\n", created.c_str());
    if (FSMKDir(from + created.c_str(), false) < 0) return -1;
  }
  return 0;
}

namespace {

bool IsOutOfSpace(int err) { return err == ENOSPC || err == EDQUOT; }

// Errors with which the kernel declines to copy between these two files (other file
// systems, file kinds it cannot handle, no support at all); the data can still be moved
// through a buffer.
bool KernelCopyDeclined(int err) {
  return err == EXDEV || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS || err == ENOTTY ||
         err == EBADF || err == EPERM || err == ETXTBSY;
}

int WriteFailure(int err) {
  QVLOG_ERR(FILE_OP_LOG, "CopyFile: write: %s (%d)\n", strerror(err), err);
  errno = err;
  return IsOutOfSpace(err) ? -2 : -1;
}

// Moves the rest of src_fd into dst_fd: a reflink where the file system shares blocks,
// else copy_file_range, else a read/write loop. The kernel paths avoid copying every
// byte through user space and are taken only between regular files (a size of 0 may
// hide content, as in /proc). Returns 0, -1 or -2 (out of space), errno set.
int MoveData(int src_fd, const struct stat& src_st, int dst_fd, const struct stat& dst_st,
             const FSCopyProgress& progress) {
  if (S_ISREG(src_st.st_mode) && S_ISREG(dst_st.st_mode) && src_st.st_size > 0) {
    // A file system that cannot share blocks is remembered, so that a tree copy does not
    // ask again for every file.
    static std::atomic<dev_t> no_reflinks{0};
    if (dst_st.st_dev != no_reflinks.load(std::memory_order_relaxed)) {
      if (ioctl(dst_fd, FICLONE, src_fd) == 0) {
        if (progress) progress(static_cast<uint64_t>(src_st.st_size));
        return 0;
      }
      if (errno == EOPNOTSUPP || errno == ENOTTY) {
        no_reflinks.store(dst_st.st_dev, std::memory_order_relaxed);
      }
    }
    const uint64_t size = static_cast<uint64_t>(src_st.st_size);
    uint64_t copied = 0;
    while (copied < size) {
      ssize_t n = copy_file_range(src_fd, nullptr, dst_fd, nullptr, kKernelCopyChunk, 0);
      if (n > 0) {
        // A big file is written back behind the copy: each chunk is sent to the disk
        // as soon as it is copied, and the one before it is waited for. The copy then
        // goes at the disk's pace, so the bar shows where it really is, dirty memory
        // stays small, and the final flush has little left to do. Small files are
        // left to that flush, which writes them together more cheaply.
        if (size > kKernelCopyChunk) {
          sync_file_range(dst_fd, static_cast<off64_t>(copied), n, SYNC_FILE_RANGE_WRITE);
          if (copied > 0) {
            sync_file_range(dst_fd, static_cast<off64_t>(copied - kKernelCopyChunk), kKernelCopyChunk,
                            SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
          }
        }
        copied += static_cast<uint64_t>(n);
        if (progress) progress(static_cast<uint64_t>(n));
        continue;
      }
      if (n == 0) break;  // shorter than it said, or nothing the kernel can move
      if (errno == EINTR) continue;
      if (KernelCopyDeclined(errno)) break;
      return WriteFailure(errno);
    }
    // What is left (all of it for a file whose size hides its content, as in /proc)
    // goes through the buffer; at the end of the file that costs one read.
    if (copied == size) return 0;
  }

  char* buf = static_cast<char*>(malloc(kCopyBufferSize));
  if (buf == nullptr) {
    int err = errno;
    QVLOG_ERR(FILE_OP_LOG, "FSCopy: malloc(%d): %s (%d)\n", static_cast<int>(kCopyBufferSize),
              strerror(err), err);
    errno = err;
    return -1;
  }
  int result = 0;
  while (result == 0) {
    ssize_t got = read(src_fd, buf, kCopyBufferSize);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      QVLOG_ERR(FILE_OP_LOG, "CopyFile: read: %s (%d)\n", strerror(err), err);
      errno = err;
      result = -1;
      break;
    }
    ssize_t done = 0;
    while (done < got) {
      ssize_t put = write(dst_fd, buf + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        result = WriteFailure(put == 0 ? EIO : errno);
        break;
      }
      done += put;
    }
    if (result == 0 && progress) progress(static_cast<uint64_t>(got));
  }
  const int err = errno;
  free(buf);
  errno = err;
  return result;
}

// The body of FSCopy. `sync` waits until the data is on disk; without it the caller
// flushes a whole tree at once when it is complete.
int CopyFile(const ustring& src, const ustring& dst, bool isDelOrigin, bool isCopyPermission,
             bool sync, bool exclusive, const FSCopyProgress& progress) {
  // A pipe, socket or device is refused before it is opened: opening a pipe without a
  // writer blocks, and a device such as /dev/zero never ends. A folder goes on to fail
  // at the first read.
  // The path itself is looked at first: its mode is the one copied, a link's own
  // included, and only a link needs a second look at what it leads to.
  struct stat link_st;
  const bool looked = lstat(src.c_str(), &link_st) == 0;
  const int look_errno = errno;
  struct stat src_st = link_st;
  if (looked && S_ISLNK(link_st.st_mode) && stat(src.c_str(), &src_st) != 0) src_st = link_st;
  if (looked && !S_ISLNK(src_st.st_mode) && !S_ISREG(src_st.st_mode) && !S_ISDIR(src_st.st_mode)) {
    QVLOG_ERR(FILE_OP_LOG, "CopyFile: '%s' is not a regular file\n", src.c_str());
    errno = EINVAL;
    return -1;
  }
  int src_fd = open(src.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (src_fd < 0) {
    int err = errno;
    QVLOG_ERR(FILE_OP_LOG, "CopyFile: open(%s): %s (%d)\n", src.c_str(), strerror(err), err);
    errno = err;
    return -1;
  }
  // Checked again on the open file: the path may have changed since stat.
  if (fstat(src_fd, &src_st) != 0 || (!S_ISREG(src_st.st_mode) && !S_ISDIR(src_st.st_mode)) ||
      !ClearNonBlock(src_fd, src_st)) {
    QVLOG_ERR(FILE_OP_LOG, "CopyFile: '%s' is not a regular file\n", src.c_str());
    close(src_fd);
    errno = EINVAL;
    return -1;
  }

  mode_t mode = 0666;
  if (isCopyPermission) {
    if (!looked) {
      QVLOG_ERR(FILE_OP_LOG, "FSStat: check state (%s) failed\n", src.c_str());
      close(src_fd);
      errno = look_errno;
      return -1;
    }
    mode = link_st.st_mode & 07777;
  }

  // Opened without O_TRUNC so that a destination which is the source itself (the same
  // path, a hard link, a symbolic link to it) is recognised before it is emptied.
  // O_NONBLOCK keeps a pipe without a reader from blocking the open. An exclusive copy
  // makes a new file or fails: nothing that stands at the name, a link least of all, is
  // written to.
  const int dst_flags = exclusive ? O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC
                                  : O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;
  int dst_fd = open(dst.c_str(), dst_flags, mode);
  // The umask cut the new file's mode; the copy's is the source's, less the set-id bits
  // that belong to the source's owner.
  if (dst_fd >= 0 && exclusive && isCopyPermission && fchmod(dst_fd, mode & ~(S_ISUID | S_ISGID)) != 0) {
    const int err = errno;
    close(dst_fd);
    unlink(dst.c_str());
    errno = err;
    dst_fd = -1;
  }
  if (dst_fd < 0) {
    int err = errno;
    // A copy to a new file is the staged copy's, whose caller reports it: only it knows
    // whether the folder may have been taken away from under it on purpose.
    if (!exclusive) QVLOG_ERR(FILE_OP_LOG, "CopyFile: open(%s): %s (%d)\n", dst.c_str(), strerror(err), err);
    close(src_fd);
    errno = err;
    return -1;
  }

  int result = 0;
  struct stat dst_st;
  if (fstat(dst_fd, &dst_st) != 0 || !ClearNonBlock(dst_fd, dst_st)) {
    int err = errno;
    QVLOG_ERR(FILE_OP_LOG, "CopyFile: open(%s): %s (%d)\n", dst.c_str(), strerror(err), err);
    result = -1;
  } else if (dst_st.st_dev == src_st.st_dev && dst_st.st_ino == src_st.st_ino) {
    QVLOG_ERR(FILE_OP_LOG, "CopyFile: '%s' and '%s' are the same file\n", src.c_str(),
              dst.c_str());
    errno = EINVAL;
    result = -1;
  } else if (S_ISREG(dst_st.st_mode) && dst_st.st_size > 0 && ftruncate(dst_fd, 0) != 0) {
    int err = errno;
    QVLOG_ERR(FILE_OP_LOG, "CopyFile: open(%s): %s (%d)\n", dst.c_str(), strerror(err), err);
    result = -1;
  } else {
    result = MoveData(src_fd, src_st, dst_fd, dst_st, progress);
  }

  const int copy_errno = errno;
  // Some file systems report a full disk or a lost write only when the data is
  // flushed; such a copy is not on disk and must not count as done, least of all
  // before its origin is deleted.
  int flush_err = 0;
  if (sync) {
    if (fsync(dst_fd) != 0 && (IsOutOfSpace(errno) || errno == EIO)) flush_err = errno;
  }
  if (close(dst_fd) != 0 && flush_err == 0 && (IsOutOfSpace(errno) || errno == EIO)) {
    flush_err = errno;
  }
  int fail_errno = copy_errno;
  if (result == 0 && flush_err != 0) {
    QVLOG_ERR(FILE_OP_LOG, "CopyFile: write: %s (%d)\n", strerror(flush_err), flush_err);
    result = (flush_err == EIO) ? -1 : -2;
    fail_errno = flush_err;
  }
  close(src_fd);
  if (result != 0) {
    errno = fail_errno;
    return result;
  }
  if (isDelOrigin && remove(src.c_str()) != 0) return -1;
  return 0;
}

// Opens path for a flush call; -1 with the failure logged. A link is followed: a folder
// moved to another disk and reached through a link is flushed there. Opening never
// blocks, whatever stands at the path.
int OpenForFlush(const char* what, const ustring& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    int err = errno;
    QVLOG_ERR(FILE_OP_LOG, "%s: open(%s): %s (%d)\n", what, path.c_str(), strerror(err), err);
    errno = err;
  }
  return fd;
}

int FlushResult(const char* what, const ustring& path, int fd, int rc) {
  int err = errno;
  close(fd);
  if (rc == 0) return 0;
  QVLOG_ERR(FILE_OP_LOG, "%s(%s): %s (%d)\n", what, path.c_str(), strerror(err), err);
  errno = err;
  return -1;
}

}  // namespace

int FSCopy(const ustring& src, const ustring& dst, bool isDelOrigin, bool isCopyPermission) {
  return CopyFile(src, dst, isDelOrigin, isCopyPermission, true, false, FSCopyProgress());
}

int FSCopyNoSync(const ustring& src, const ustring& dst, bool isCopyPermission,
                 const FSCopyProgress& progress) {
  return CopyFile(src, dst, false, isCopyPermission, false, false, progress);
}

int FSCopyToNew(const ustring& src, const ustring& dst, bool isCopyPermission, const FSCopyProgress& progress) {
  return CopyFile(src, dst, false, isCopyPermission, false, true, progress);
}

int FSOpenSyncPoint(const ustring& path) { return OpenForFlush("syncfs", path); }

int FSSyncFileSystem(int sync_point, const ustring& path) {
  if (sync_point < 0) return -1;
  return FlushResult("syncfs", path, sync_point, syncfs(sync_point));
}

int FSSyncEntry(const ustring& path) {
  int fd = OpenForFlush("fsync", path);
  if (fd < 0) return -1;
  return FlushResult("fsync", path, fd, fsync(fd));
}

int FSRename(const ustring& from, const ustring& to, bool do_case_check) {
  if (from.empty() || to.empty()) return -1;
  FILE_INFO info;
  if (FSStat(from, info, do_case_check) < 0 || !info.isExist) return -2;
  if (rename(from.c_str(), to.c_str()) == 0) return 0;
  if (errno == ENAMETOOLONG) return -100;
  if (errno != EXDEV) return -3;

  if (info.type == FT_FILE) return FSCopy(from, to, true, false) < 0 ? -3 : 0;
  if (info.type != FT_DIR) return -3;

  // rename refuses a folder that holds something; merging into it here would
  // overwrite its files, so the copying move refuses it too.
  if (!IsEmptyOrMissingFolder(to.c_str())) {
    errno = ENOTEMPTY;
    return -3;
  }
  if (FSMKDir(to, true) != 0) return -3;
  int result = ForEachChild(from, [&](const char* name) {
    return FSRename(from + "/" + name, to + "/" + name, do_case_check);
  });
  if (result != 0) return result;
  return remove(from.c_str()) == 0 ? 0 : -3;
}

int FSRemove(const ustring& given, bool /*allowundo*/) {
  if (given.empty()) return -1;
  // "link/" would make lstat follow the link and the walk empty the folder behind it;
  // without the final slashes the link itself is what gets removed.
  ustring path = given;
  size_t len = path.length();
  while (len > 1 && path.c_str()[len - 1] == '/') --len;
  if (len < path.length()) path = path.substr(0, len);
  FILE_INFO info;
  if (GetFileInfo(path, info) != 0) return -1;
  if (!info.isExist) return 0;
  if (info.type == FT_DIR) {
    int result =
        ForEachChild(path, [&](const char* name) { return FSRemove(path + "/" + name, false); });
    if (result != 0) return result;
  }
  return remove(path.c_str()) == 0 ? 0 : -3;
}

int FSMktemp(const ustring& prefix, ustring& path) {
  char name[kTempTemplateSize];
  // A prefix too long for the buffer is cut; mkstemp then refuses the template.
  snprintf(name, sizeof(name), "%s/XXXXXX", prefix.c_str());
  // mkstemp fills in the X's even when it fails; the log names the template.
  const std::string templ(name);
  int fd = mkstemp(name);
  if (fd < 0) {
    ErrnoKeeper keep;
    QVLOG_ERR(FILE_OP_LOG, "mkstemp(%s): %s\n", templ.c_str(), strerror(errno));
    return -1;
  }
  close(fd);
  path = name;
  chmod(name, 0644);
  return 0;
}

int FSCreateTempPath(const ustring& prefix, ustring& path) {
  path = TmpNameGen::getInstance().getTmpPath(prefix.c_str());
  return path.empty() ? -1 : 0;
}

int FSUTime(const ustring& path, time_t atime, time_t mtime) {
  struct timeval times[2];
  times[0].tv_sec = atime;
  times[0].tv_usec = 0;
  times[1].tv_sec = mtime;
  times[1].tv_usec = 0;
  return lutimes(path.c_str(), times) == 0 ? 0 : -1;
}

int FSCreateSymbolicLink(const ustring& target_path, const ustring& link_path) {
  if (symlink(target_path.c_str(), link_path.c_str()) == 0) return 0;
  int err = errno;
  QVLOG_ERR(FILE_OP_LOG,
            "FSCreateSymbolicLink: Failed to create symbolic link '%s' -> '%s' (code: %d, "
            "msg: %s)\n",
            target_path.c_str(), link_path.c_str(), err, strerror(err));
  errno = err;
  return -1;
}

int FSChown(const ustring& path, uid_t owner, gid_t group) {
  // A relative path is taken from the current folder, as the system does.
  if (fchownat(AT_FDCWD, path.c_str(), owner, group, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  int err = errno;
  QVLOG_ERR(FILE_OP_LOG, "FSChown: Failed to chown '%s' (code: %d, msg: %s)\n", path.c_str(),
            err, strerror(err));
  errno = err;
  return -1;
}
