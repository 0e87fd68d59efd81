// The extractor on arbitrary archive bytes, into a target folder made fresh for every
// input as the service makes it. Whatever the archive holds and whether or not it is
// refused: nothing beside the target is created, removed or changed, and the target
// stays the same real folder.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "extractor.h"
#include "fuzz_util.h"
#include "log.h"
#include "strtab.h"

namespace {

std::string root;    // the sandbox
std::string target;  // root/app
std::map<std::string, std::string> baseline;

std::string Describe(const struct stat& st) {
  return std::to_string(st.st_mode) + " " + std::to_string(st.st_ino) + " " +
         std::to_string(st.st_size) + " " + std::to_string(st.st_nlink) + " " +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// path -> kind, mode, inode, size, links and time of everything below dir but skip.
void Walk(const std::string& dir, const std::string& skip,
          std::map<std::string, std::string>& out) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    if (path == skip) continue;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    out[path] = Describe(st);
    if (S_ISDIR(st.st_mode)) Walk(path, skip, out);
  }
  closedir(d);
}

std::map<std::string, std::string> AllButTarget() {
  std::map<std::string, std::string> out;
  Walk(root, target, out);
  return out;
}

// Removes path and everything below it, opening up folders the archive made closed.
void RemoveAll(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path.c_str());
    return;
  }
  chmod(path.c_str(), 0700);
  if (DIR* d = opendir(path.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") RemoveAll(path + "/" + name);
    }
    closedir(d);
  }
  rmdir(path.c_str());
}

void Write(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "w");
  QVFUZZ_CHECK(f && fputs(text.c_str(), f) >= 0 && fclose(f) == 0, "cannot write %s",
               path.c_str());
}

void RemoveSandbox() { RemoveAll(root); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-fuzz-extractor-XXXXXX";
  QVFUZZ_CHECK(mkdtemp(&pattern[0]) != nullptr, "mkdtemp failed");
  char* real = realpath(pattern.c_str(), nullptr);
  root = real;
  free(real);
  atexit(RemoveSandbox);
  target = root + "/app";
  QVFUZZ_CHECK(mkdir((root + "/outside").c_str(), 0755) == 0, "cannot lay out the sandbox");
  Write(root + "/outside/victim", "old");
  // The extractor's failures are expected by the thousand; silence them.
  Write(root + "/levels", "extractor_debug=-1\nservice_debug=-1\nfile_op_debug=-1\n");
  QVFUZZ_CHECK(Logger::Initialize(Logger::STDERR_LOGGER, "", root + "/levels", 50,
                                  Logger::NonSafe) == 0,
               "logger");
  StrTable::InitStrTable();
  // A small archive can inflate to gigabytes; past this size a write fails (EFBIG)
  // instead of filling the disk. (SIGXFSZ is ignored in the first run: libFuzzer sets
  // its own handler after this.)
  const struct rlimit fsize = {16 << 20, 16 << 20};
  setrlimit(RLIMIT_FSIZE, &fsize);
  baseline = AllButTarget();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qvfuzz::MemFile source;
  static const bool xfsz_ignored = signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
  (void)xfsz_ignored;
  source.Set(data, size);
  QVFUZZ_CHECK(mkdir(target.c_str(), 0755) == 0, "cannot make the target");
  // Held open, the target's inode cannot be reused by a folder made in its place.
  const int held = open(target.c_str(), O_RDONLY | O_DIRECTORY);
  struct stat before;
  QVFUZZ_CHECK(held >= 0 && fstat(held, &before) == 0, "cannot open the target");

  Extractor extractor;
  extractor.SetSource(ustring(source.path()));
  extractor.SetTarget(ustring(target));
  const int rc = extractor.Extract();
  QVFUZZ_CHECK(rc == 0 || rc == -1, "Extract returned %d", rc);

  struct stat after;
  QVFUZZ_CHECK(lstat(target.c_str(), &after) == 0, "the target is gone");
  QVFUZZ_CHECK(S_ISDIR(after.st_mode), "the target is no longer a folder (mode %o)",
               after.st_mode);
  QVFUZZ_CHECK(after.st_ino == before.st_ino && after.st_mode == before.st_mode,
               "the target was replaced or changed");
  close(held);
  const auto now = AllButTarget();
  for (const auto& entry : now) {
    const auto was = baseline.find(entry.first);
    QVFUZZ_CHECK(was != baseline.end(), "created outside the target: %s", entry.first.c_str());
    QVFUZZ_CHECK(was->second == entry.second, "changed outside the target: %s",
                 entry.first.c_str());
  }
  QVFUZZ_CHECK(now.size() == baseline.size(), "removed outside the target");

  RemoveAll(target);
  QVFUZZ_CHECK(access(target.c_str(), F_OK) != 0, "cannot clear the target");
  return 0;
}
