#include "extractor.h"

#include <langinfo.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QString>
#include <string>
#include <string_view>

#include "adapter.h"
#include "archive-calls.h"
#include "cloud-service.h"
#include "file/file-op.h"
#include "modules.h"
#include "strtab.h"

#define QV_LOG_FILE "extractor.cpp"
#include "log.h"

namespace {

const char kComponent[] = "extractor_debug";
const int kBlockSize = 10240;

// Existing files at an entry's path are unlinked and replaced, never written through.
// SECURE_SYMLINKS makes the writer check every component of the path: together with
// UNLINK it removes a symbolic link met on the way (one planted by an earlier entry
// included) and puts a real folder in its place, so nothing lands outside the target.
// Permissions, owners and times are left to the writer's defaults: umask applied,
// set-id bits dropped, files owned by the running user.
const int kWriteOptions = ARCHIVE_EXTRACT_UNLINK | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                          ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_MAC_METADATA;

// The libarchive calls, loading them the first time; null, with the reason logged, when
// they cannot be loaded.
const ArchiveCalls* LoadArchive() {
  std::string why;
  const auto calls =
      reinterpret_cast<decltype(&qv_archive_calls)>(ModuleEntry(kArchiveModule, "qv_archive_calls", &why));
  if (!calls) {
    QVLOG_ERR(kComponent, "cannot load the archive module: %s\n", why.c_str());
    return nullptr;
  }
  return calls();
}

const char* ErrorText(const ArchiveCalls& la, archive* a) {
  const char* text = la.error_string(a);
  // What glibc would print for a null "%s"; spelled out to keep printf well-defined.
  return text ? text : "(null)";
}

// Whether test holds for any of the slash-separated components of path, empty ones
// included.
template <typename Test>
bool AnyComponent(std::string_view path, Test test) {
  for (;;) {
    const size_t end = path.find('/');
    if (test(path.substr(0, end))) return true;
    if (end == std::string_view::npos) return false;
    path.remove_prefix(end + 1);
  }
}

bool HasDotDotComponent(const std::string& path) {
  return AnyComponent(path, [](std::string_view c) { return c == ".."; });
}

// An entry path without a component other than empty and "." ("", ".", "./", "/", ".//"
// ...) joined to the target names the target itself: the writer reduces it so.
bool NamesTheTarget(const char* path) {
  return !AnyComponent(path, [](std::string_view c) { return !c.empty() && c != "."; });
}

bool IsRealFolder(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder the entries are joined to. The writer removes every symbolic link it meets
// on an entry's path, the target's own components included, and a user's home or data
// folder may well be a link to another disk; so the part of the target that exists is
// replaced by its real location and the entries are written behind the user's links.
// A target with a ".." component is kept as given: the writer refuses it.
std::string ResolveTarget(const std::string& given) {
  if (HasDotDotComponent(given)) return given;

  std::string head = given;
  std::string tail;
  for (;;) {
    while (head.size() > 1 && head.back() == '/') head.pop_back();
    char* real = ::realpath(head.c_str(), nullptr);
    if (real) {
      std::string resolved(real);
      ::free(real);
      if (resolved == "/" && !tail.empty()) return tail;
      return resolved + tail;
    }
    if (head == "/" || head == ".") return given;
    size_t slash = head.rfind('/');
    if (slash == std::string::npos) {
      tail = "/" + head + tail;
      head = ".";
    } else {
      tail = head.substr(slash) + tail;
      head = slash == 0 ? "/" : head.substr(0, slash);
    }
  }
}

// Entry names reach the disk in the current locale's encoding, and a name that cannot be
// converted is a warning that ends the run. Our paths are UTF-8 whatever the locale, so
// while an archive is open this thread converts names to UTF-8 (a bare session's "C"
// locale would otherwise stop at the first non-ASCII name). Nothing changes in a UTF-8
// locale.
class Utf8Names {
 public:
  Utf8Names() {
    if (std::string(::nl_langinfo(CODESET)) == "UTF-8") return;
    locale_t base = ::duplocale(::uselocale(static_cast<locale_t>(0)));
    if (!base) return;
    utf8_ = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", base);
    if (!utf8_) {
      ::freelocale(base);
      return;
    }
    previous_ = ::uselocale(utf8_);
  }
  ~Utf8Names() {
    if (!utf8_) return;
    ::uselocale(previous_);
    ::freelocale(utf8_);
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  locale_t utf8_ = static_cast<locale_t>(0);
  locale_t previous_ = static_cast<locale_t>(0);
};

// Opens the archive at source for a pass over its entries, in any format and filter;
// null, with the failure logged, when it cannot be read.
archive* OpenForListing(const ArchiveCalls& la, const ustring& source) {
  archive* reader = la.read_new();
  if (!reader) {
    QVLOG_ERR(kComponent, "Allocate archive failed\n");
    return nullptr;
  }
  la.read_support_filter_all(reader);
  la.read_support_format_all(reader);
  if (la.read_open_filename(reader, source.c_str(), kBlockSize) != ARCHIVE_OK) {
    QVLOG_ERR(kComponent, "archive_read_open_filename failed: '%s'\n", ErrorText(la, reader));
    la.read_free(reader);
    return nullptr;
  }
  return reader;
}

// One pass over the entries of the archive at source, calling on_entry for each; the
// number of entries, or -1 when the archive cannot be read.
template <typename OnEntry>
int ForEachEntry(const ustring& source, OnEntry on_entry) {
  const ArchiveCalls* la = LoadArchive();
  if (!la) return -1;
  Utf8Names utf8_names;
  archive* reader = OpenForListing(*la, source);
  if (!reader) return -1;
  int count = 0;
  archive_entry* entry = nullptr;
  while (la->read_next_header(reader, &entry) == ARCHIVE_OK) {
    ++count;
    on_entry(*la, entry);
    la->read_data_skip(reader);
  }
  la->read_free(reader);
  return count;
}

}  // namespace

Extractor::Extractor() {}

void Extractor::SetTarget(const ustring& target) { this->target = target; }

void Extractor::SetSource(const ustring& source) { this->source = source; }

int Extractor::Count() {
  if (target.empty() || source.empty()) {
    QVLOG_ERR(kComponent, "Invalid argument\n");
    return -1;
  }
  return ForEachEntry(source, [](const ArchiveCalls&, archive_entry*) {});
}

int Extractor::List() {
  if (target.empty() || source.empty()) {
    QVLOG_ERR(kComponent, "Invalid argument\n");
    return -1;
  }
  const int count = ForEachEntry(source, [](const ArchiveCalls& la, archive_entry* entry) {
    const char* path = la.entry_pathname(entry);
    ::printf("%s\n", path ? path : "");
    ::fflush(stdout);
  });
  return count < 0 ? -1 : 0;
}

int Extractor::Extract() {
  int result = -1;
  if (source.empty() || target.empty()) {
    QVLOG_ERR(kComponent, "Invalid Argument\n");
    return -1;
  }
  QVLOG_DEBUG(kComponent, "decompress from '%s' to '%s'\n", source.c_str(), target.c_str());

  Notify_Adapter::GetInstance().UpdateDialogText(
      StrTable::LoadStrWithAppName(StrTable::desc_skld_env_preparing_drive));

  int total = Count();
  if (total <= 0) {
    QVLOG_ERR(kComponent, "Failed to calculate total file numbers, ret: %d\n", total);
    return -1;
  }

  const ArchiveCalls* const loaded = LoadArchive();
  if (!loaded) return -1;
  const ArchiveCalls& la = *loaded;
  Utf8Names utf8_names;
  archive* reader = la.read_new();
  if (!reader) {
    QVLOG_ERR(kComponent, "Allocate extractor failed\n");
    return -1;
  }
  archive* writer = la.write_disk_new();
  if (!writer) {
    QVLOG_ERR(kComponent, "Allocate extractor failed\n");
  } else {
    la.write_disk_set_options(writer, kWriteOptions);
    la.read_support_filter_all(reader);
    la.read_support_format_all(reader);
    if (la.read_open_filename(reader, source.c_str(), kBlockSize) != ARCHIVE_OK) {
      QVLOG_ERR(kComponent, "Failed to read file '%s' ('%s')\n", source.c_str(),
                ErrorText(la, reader));
    } else {
      const std::string base = ResolveTarget(target.c_str());
      int progress = 0;
      archive_entry* entry = nullptr;
      for (;;) {
        int r = la.read_next_header(reader, &entry);
        if (r == ARCHIVE_EOF) {
          result = 0;
          break;
        }
        if (r != ARCHIVE_OK) {
          QVLOG_ERR(kComponent, "archive_read_next_header failed: '%s'\n", ErrorText(la, reader));
          break;
        }
        const char* path = la.entry_pathname(entry);
        if (!path) {
          QVLOG_ERR(kComponent, "archive_entry_pathname failed");
          break;
        }
        const char* hardlink = la.entry_hardlink(entry);
        if (NamesTheTarget(path)) {
          // Anything but a folder would take the target's place: the writer unlinks what
          // is at an entry's path, and an empty target goes with it.
          if (la.entry_filetype(entry) != AE_IFDIR || hardlink) {
            QVLOG_ERR(kComponent, "entry '%s' names the target folder itself\n", path);
            break;
          }
          if (IsRealFolder(base)) {
            ++progress;
            Notify_Adapter::GetInstance().UpdateProgress(total, progress);
            continue;
          }
          // A target not made yet is made by this entry, as any folder entry makes its
          // folder.
          la.entry_set_pathname(entry, base.c_str());
        } else {
          // Plain concatenation: "./a" becomes base/./a and "/a" base//a, both inside.
          la.entry_set_pathname(entry, (base + "/" + path).c_str());
          // A hard link names another entry of the archive, so it moves with the
          // entries; a symbolic link's text is the link's content and stays as stored.
          if (hardlink) la.entry_set_hardlink(entry, (base + "/" + hardlink).c_str());
        }

        if (la.read_extract2(reader, entry, writer) != ARCHIVE_OK) {
          QVLOG_ERR(kComponent, "archive_read_extract2 failed: '%s'\n", ErrorText(la, writer));
          break;
        }
        ++progress;
        Notify_Adapter::GetInstance().UpdateProgress(total, progress);
        if (la.write_finish_entry(writer) != ARCHIVE_OK) {
          QVLOG_ERR(kComponent, "archive_write_finish_entry failed: '%s'\n",
                    ErrorText(la, writer));
          break;
        }
      }
      // Whatever the entries were, the target must still be the folder they went into.
      if (result == 0 && !IsRealFolder(base)) {
        QVLOG_ERR(kComponent, "target '%s' is not a folder after extraction\n",
                  target.c_str());
        result = -1;
      }
    }
  }
  la.read_free(reader);
  if (writer) la.write_free(writer);
  return result;
}

int Extractor::copy_data(archive* ar, archive* aw) {
  if (!ar || !aw) {
    QVLOG_ERR(kComponent, "Invalid Argument\n");
    return -1;
  }
  const ArchiveCalls* const la = LoadArchive();
  if (!la) return -1;
  for (;;) {
    const void* buff = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int r = la->read_data_block(ar, &buff, &size, &offset);
    if (r == ARCHIVE_EOF) return 0;
    if (r != ARCHIVE_OK) {
      QVLOG_ERR(kComponent, "archive_read_data_block failed: '%s'\n", ErrorText(*la, ar));
      return -1;
    }
    if (la->write_data_block(aw, buff, size, offset) != ARCHIVE_OK) {
      QVLOG_ERR(kComponent, "archive_write_data_block failed: '%s'\n", ErrorText(*la, aw));
      return -1;
    }
  }
}

int Service::ExtractPackage() {
  const ustring source = PathFromTable("root_resource_path") + "/package/skylodge.qvx";
  const ustring dest = PathFromTable("user_quenvale_drive_app_path");
  if (FSMKDir(dest, true) != 0) {
    QVLOG_ERR("service_debug", "failed to create folder: '%s'\n", dest.c_str());
    return -1;
  }
  QVLOG_INFO("service_debug", "extract package: '%s' -> '%s'\n", source.c_str(), dest.c_str());
  Extractor extractor;
  extractor.SetSource(source);
  extractor.SetTarget(dest);
  return extractor.Extract();
}
