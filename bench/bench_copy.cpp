// Copies a generated tree with the file-system layer (FSMKDir per folder, FSCopy with
// permissions per file, as the package install does) and with `cp -a`, and prints the
// times and their ratio. FSCopy flushes every file to disk, so the tool is also timed
// followed by `sync` for a like-for-like figure.
//
//   bench_copy [files [work-folder]]     defaults: 3000 files under $TMPDIR or /tmp
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>

#include "file/file-op.h"

namespace {

double Seconds(const std::function<bool()>& fn, bool* ok) {
  auto start = std::chrono::steady_clock::now();
  *ok = fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool WriteBytes(const std::string& path, size_t size, std::mt19937& gen) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(gen() & 0xff);
  bool ok = fwrite(data.data(), 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

// Mostly small files, a few of several buffers, spread over nested folders.
bool MakeTree(const std::string& root, int files) {
  std::mt19937 gen(42);
  const mode_t modes[] = {0644, 0755, 0600, 0640};
  for (int i = 0; i < files; ++i) {
    std::string folder = root + "/d" + std::to_string(i % 20) + "/s" + std::to_string(i % 7);
    if (FSMKDir(folder.c_str(), true) != 0) return false;
    size_t size = (i % 50 == 0) ? 256 * 1024 : static_cast<size_t>(gen() % 16384);
    std::string file = folder + "/f" + std::to_string(i);
    if (!WriteBytes(file, size, gen) || chmod(file.c_str(), modes[i % 4]) != 0) return false;
  }
  return true;
}

bool CopyTree(const std::string& from, const std::string& to) {
  if (FSMKDir(to.c_str(), true) != 0) return false;
  DIR_HANDLE dh;
  if (FSOpenDir(from.c_str(), 0, dh) != 0) return false;
  DIR_ENTRY e;
  bool ok = true;
  while (ok && FSReadDir(dh, e) == 1) {
    std::string name = e.name.c_str();
    if (name == "." || name == "..") continue;
    std::string s = from + "/" + name, d = to + "/" + name;
    ok = (e.type == FT_DIR) ? CopyTree(s, d) : FSCopy(s.c_str(), d.c_str(), false, true) >= 0;
  }
  FSCloseDir(dh);
  return ok;
}

bool Run(const std::string& command) { return system(command.c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
  int files = argc > 1 ? atoi(argv[1]) : 3000;
  const char* tmp = getenv("TMPDIR");
  std::string base = argc > 2 ? argv[2] : std::string(tmp && *tmp ? tmp : "/tmp");
  ustring work;
  if (files <= 0 || FSMktemp(base.c_str(), work) != 0) {
    fprintf(stderr, "usage: bench_copy [files [work-folder]]\n");
    return 2;
  }
  // FSMktemp made a file; the folder of the same name holds the run.
  FSRemove(work, false);
  const std::string root = work.c_str();
  const std::string src = root + "/src";
  if (FSMKDir(root.c_str(), true) != 0 || !MakeTree(src, files)) {
    fprintf(stderr, "bench_copy: could not build the tree under %s\n", root.c_str());
    return 1;
  }
  Run("sync");

  bool ok_ours = false, ok_cp = false, ok_cp_sync = false;
  double ours = Seconds([&] { return CopyTree(src, root + "/ours"); }, &ok_ours);
  double cp = Seconds([&] { return Run("cp -a '" + src + "' '" + root + "/cp'"); }, &ok_cp);
  Run("sync");
  double cp_sync = Seconds(
      [&] { return Run("cp -a '" + src + "' '" + root + "/cp-sync' && sync"); }, &ok_cp_sync);
  bool same = ok_ours && ok_cp &&
              Run("diff -r '" + root + "/ours' '" + root + "/cp' >/dev/null") &&
              Run("cd '" + root + "/ours' && find . -printf '%m %s %P\\n' | sort > ../ours.lst") &&
              Run("cd '" + root + "/cp' && find . -printf '%m %s %P\\n' | sort > ../cp.lst") &&
              Run("cmp -s '" + root + "/ours.lst' '" + root + "/cp.lst'");

  printf("files:                 %d\n", files);
  printf("FSMKDir/FSCopy tree:   %.3f s%s\n", ours, ok_ours ? "" : " (FAILED)");
  printf("cp -a:                 %.3f s%s\n", cp, ok_cp ? "" : " (FAILED)");
  printf("cp -a && sync:         %.3f s%s\n", cp_sync, ok_cp_sync ? "" : " (FAILED)");
  printf("ratio to cp -a:        %.2f\n", cp > 0 ? ours / cp : 0.0);
  printf("ratio to cp -a + sync: %.2f\n", cp_sync > 0 ? ours / cp_sync : 0.0);
  printf("trees equal:           %s\n", same ? "yes" : "NO");
  FSRemove(root.c_str(), false);
  return (ok_ours && same) ? 0 : 1;
}
