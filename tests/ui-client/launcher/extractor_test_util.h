// Fixture and helpers shared by the extractor tests: a per-test work folder with its own
// log file, a recorder of the adapter's signals, hand-made archives for entries that
// bsdtar will not write, and a snapshot of a folder tree for comparisons.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QObject>
#include <QString>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "adapter.h"
#include "archive-abi.h"
#include "extractor.h"
#include "log.h"
#include "strtab.h"
#include "test_env.h"

namespace extest {

// One entry of a hand-made archive. kind: 'f' file (text is the data), 'd' folder,
// 's' symbolic link and 'h' hard link (text is the link target).
struct Entry {
  std::string path;
  char kind;
  std::string text;
  int mode;
};

inline Entry File(const std::string& path, const std::string& data, int mode = 0644) {
  return Entry{path, 'f', data, mode};
}
inline Entry Dir(const std::string& path, int mode = 0755) { return Entry{path, 'd', "", mode}; }
inline Entry Symlink(const std::string& path, const std::string& to) {
  return Entry{path, 's', to, 0777};
}
inline Entry Hardlink(const std::string& path, const std::string& to) {
  return Entry{path, 'h', to, 0644};
}

// Writes a pax archive holding exactly the given entries, names untouched.
inline bool WriteTar(const std::string& file, const std::vector<Entry>& entries) {
  archive* a = archive_write_new();
  archive_write_set_format_pax_restricted(a);
  bool ok = archive_write_open_filename(a, file.c_str()) == ARCHIVE_OK;
  for (const Entry& e : entries) {
    if (!ok) break;
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.path.c_str());
    archive_entry_set_perm(entry, e.mode);
    switch (e.kind) {
      case 'f':
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_size(entry, static_cast<la_int64_t>(e.text.size()));
        break;
      case 'd':
        archive_entry_set_filetype(entry, AE_IFDIR);
        break;
      case 's':
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_symlink(entry, e.text.c_str());
        break;
      default:
        archive_entry_set_filetype(entry, AE_IFREG);
        archive_entry_set_hardlink(entry, e.text.c_str());
        break;
    }
    ok = archive_write_header(a, entry) == ARCHIVE_OK;
    if (ok && e.kind == 'f' && !e.text.empty()) {
      ok = archive_write_data(a, e.text.data(), e.text.size()) ==
           static_cast<la_ssize_t>(e.text.size());
    }
    archive_entry_free(entry);
  }
  if (archive_write_close(a) != ARCHIVE_OK) ok = false;
  archive_write_free(a);
  return ok;
}

// relative path -> "kind mode [links] payload" for everything below root (root itself
// excluded), links not followed.
inline std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const std::string path = it->path().string();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    std::string desc;
    if (S_ISDIR(st.st_mode)) {
      desc = std::string("dir ") + mode;
    } else if (S_ISLNK(st.st_mode)) {
      desc = "symlink -> " + std::filesystem::read_symlink(it->path(), ec).string();
    } else if (S_ISREG(st.st_mode)) {
      desc = std::string("file ") + mode + " links=" + std::to_string(st.st_nlink) + " " +
             qvtest::ReadFile(path);
    } else {
      desc = std::string("other ") + mode;
    }
    out[path.substr(root.size())] = desc;
  }
  return out;
}

inline bool IsSymlink(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

class ExtractorFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StrTable::InitStrTable(); }

  void SetUp() override {
    work_ = qvtest::MakeTempDir("extract");
    log_ = work_ + "/extract.log";
    ASSERT_TRUE(qvtest::WriteFile(work_ + "/levels", "extractor_debug=7\nservice_debug=7\n"));
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_, work_ + "/levels", 50,
                                    Logger::ThreadSafe));
    Notify_Adapter* adapter = &Notify_Adapter::GetInstance();
    QObject::connect(adapter, &Notify_Adapter::sigUpdateProgress, &receiver_,
                     [this](int total, int current) { progress_.emplace_back(total, current); });
    QObject::connect(adapter, &Notify_Adapter::sigUpdateDialogText, &receiver_,
                     [this](const QString& text) { labels_.push_back(text); });
  }

  void TearDown() override { Logger::Destroy(); }

  static int Extract(const std::string& source, const std::string& target) {
    Extractor extractor;
    extractor.SetSource(ustring(source));
    extractor.SetTarget(ustring(target));
    return extractor.Extract();
  }

  static int Count(const std::string& source, const std::string& target) {
    Extractor extractor;
    extractor.SetSource(ustring(source));
    extractor.SetTarget(ustring(target));
    return extractor.Count();
  }

  std::string Log() const { return qvtest::ReadFile(log_); }

  // Counts the log lines that carry the message, prefix and timestamp aside.
  int LogCount(const std::string& message) const {
    const std::string log = Log();
    int n = 0;
    for (size_t pos = log.find(message); pos != std::string::npos;
         pos = log.find(message, pos + 1)) {
      ++n;
    }
    return n;
  }

  std::string work_;
  std::string log_;
  QObject receiver_;  // disconnects the recorders when the test ends
  std::vector<std::pair<int, int>> progress_;
  std::vector<QString> labels_;
};

}  // namespace extest
