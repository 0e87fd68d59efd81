// Unpacks an archive of any format and compression that libarchive reads into a folder
// on disk, reporting progress entry by entry through Notify_Adapter.
#pragma once

#include "ustring/ustring.h"

struct archive;

class Extractor {
 public:
  Extractor();

  void SetTarget(const ustring& target);
  void SetSource(const ustring& source);

  // 0 when every entry was written under the target, -1 otherwise. Entries written
  // before a failure stay on disk. An entry whose path names the target itself ("", ".",
  // "./", "/") is refused unless it is a folder, which leaves the target as it is.
  int Extract();
  // Number of entries in the source (0 or more), or -1.
  int Count();
  // Prints every entry's path on standard output; 0, or -1 on failure.
  int List();

 private:
  // Copies the data of the current entry of ar into aw block by block; 0 or -1.
  int copy_data(archive* ar, archive* aw);

  // Lets the tests reach copy_data, which nothing else in the launcher calls.
  friend class ExtractorCopyDataTest;

  ustring target;
  ustring source;
};
