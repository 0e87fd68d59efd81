#include "linux/copy-check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <system_error>

#include "config.h"
#include "file/file-op.h"

namespace {

const char* TypeName(FILE_TYPE type) {
  switch (type) {
    case FT_FILE: return "a file";
    case FT_DIR: return "a folder";
    case FT_SLINK: return "a link";
    case FT_ERR: return "missing";
    default: return "a special file";
  }
}

std::string Octal(uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode & 07777);
  return text;
}

// Words for how the copy's entry differs from the package's, "" when it does not.
std::string Difference(const FILE_INFO& want, const FILE_INFO& have, const ustring& package_path,
                       const ustring& copy_path) {
  if (!have.isExist) return "is missing";
  if (have.type != want.type) return std::string("is ") + TypeName(have.type) + ", not " + TypeName(want.type);
  if (want.type == FT_SLINK) {
    ustring want_target, have_target;
    if (FSReadSymbolicLink(package_path, want_target) != 0) return "";  // told by the walk's own error
    if (FSReadSymbolicLink(copy_path, have_target) != 0 || want_target != have_target) {
      return std::string("leads to '") + have_target.c_str() + "', not '" + want_target.c_str() + "'";
    }
    return "";
  }
  if ((have.mode & 07777) != (want.mode & 07777)) return "has mode " + Octal(have.mode) + ", not " + Octal(want.mode);
  if (want.type == FT_FILE && have.size != want.size) {
    return "is " + std::to_string(have.size) + " bytes, not " + std::to_string(want.size);
  }
  return "";
}

class Walk {
 public:
  Walk(const ustring& package, const ustring& copy, size_t described, CopyCheck* check)
      : package_(package), copy_(copy), described_(described), check_(check) {}

  // Compares the entry at relative path rel ("" for the roots), and below it when it is
  // a folder in both.
  void Entry(const std::string& rel) {
    if (!check_->error.empty()) return;
    const ustring from = rel.empty() ? package_ : package_ + "/" + rel;
    const ustring to = rel.empty() ? copy_ : copy_ + "/" + rel;
    FILE_INFO want, have;
    if (FSStat(from, want, false) != 0 || !want.isExist) {
      check_->error = std::string("cannot look at '") + from.c_str() + "': " + std::generic_category().message(errno);
      return;
    }
    if (FSStat(to, have, false) != 0) have.type = FT_DEV;  // unreadable counts as not a copy of it
    const std::string difference = Difference(want, have, from, to);
    if (!difference.empty()) {
      check_->paths.push_back(rel);
      if (check_->first.size() < described_) {
        check_->first.push_back("'" + (rel.empty() ? "." : rel) + "' " + difference);
      }
      return;  // a missing or changed folder: what it held is part of the same damage
    }
    if (want.type != FT_DIR) return;
    DIR_HANDLE dh;
    if (FSOpenDir(from, 0, dh) != 0) {
      check_->error = std::string("cannot list '") + from.c_str() + "': " + std::generic_category().message(errno);
      return;
    }
    std::vector<std::string> names;
    DIR_ENTRY entry;
    int read;
    while ((read = FSReadDir(dh, entry)) > 0) {
      if (entry.name != "." && entry.name != "..") names.push_back(entry.name.c_str());
    }
    FSCloseDir(dh);
    if (read < 0) {
      check_->error = std::string("cannot list '") + from.c_str() + "'";
      return;
    }
    // Sorted, so that the first differences named and the fingerprint do not depend on
    // the order of the file system.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) Entry(rel.empty() ? name : rel + "/" + name);
  }

 private:
  const ustring package_;
  const ustring copy_;
  const size_t described_;
  CopyCheck* check_;
};

}  // namespace

CopyCheck CheckCopy(const ustring& package, const ustring& copy, size_t described) {
  CopyCheck check;
  Walk(package, copy, described, &check).Entry("");
  return check;
}

std::string DescribeDifferences(const CopyCheck& check) {
  std::string text;
  for (const std::string& one : check.first) text += (text.empty() ? "" : ", ") + one;
  if (check.paths.size() > check.first.size()) {
    text += " and " + std::to_string(check.paths.size() - check.first.size()) + " more";
  }
  return text;
}

std::string Fingerprint(const CopyCheck& check) {
  uint64_t hash = 14695981039346656037ull;
  for (const std::string& path : check.paths) {
    for (const char c : path + '\0') {
      hash ^= static_cast<unsigned char>(c);
      hash *= 1099511628211ull;
    }
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

bool ReadRepairRecord(const std::string& path, RepairRecord* record) {
  Config config;
  if (config.read(path) != 0) return false;
  record->build = config["build"];
  record->damage = config["damage"];
  record->noted = config["noted"] == "1";
  return !record->build.empty();
}

bool WriteRepairRecord(const std::string& path, const RepairRecord& record) {
  const std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << "build=" << record.build << "\ndamage=" << record.damage << "\nnoted=" << (record.noted ? 1 : 0) << "\n";
    out.flush();
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}
