// Tells whether the user's copy of the client is still what the package installed:
// every entry of the package must stand at the same path in the copy with the same
// type, permission bits, size (files) and link target (links). Contents are not read,
// so that a check costs one lstat per entry. What the client adds to its copy (caches,
// files of its own) is not looked at.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ustring/ustring.h"

struct CopyCheck {
  // The first differing entries, in words ("'bin/x' is 0 bytes, not 8624").
  std::vector<std::string> first;
  // Every differing entry's path, in walk order; their fingerprint names the damage.
  std::vector<std::string> paths;
  // Set when the package could not be walked: then nothing is known.
  std::string error;
  bool Same() const { return error.empty() && paths.empty(); }
};

// Compares copy with package; at most `described` differences get words in `first`.
CopyCheck CheckCopy(const ustring& package, const ustring& copy, size_t described = 3);

// One line naming the first differences, with the number of the others.
std::string DescribeDifferences(const CopyCheck& check);

// A short stable name for the set of differing paths (FNV-1a over them), to tell the
// same damage from another one at a later start.
std::string Fingerprint(const CopyCheck& check);

// What was installed again for which build: a copy whose same entries differ again
// for the same build is changed by its own client, and is left alone.
struct RepairRecord {
  std::string build;
  std::string damage;  // Fingerprint of what differed
  bool noted = false;  // the copy was found damaged the same way again, and this was logged
};
bool ReadRepairRecord(const std::string& path, RepairRecord* record);
bool WriteRepairRecord(const std::string& path, const RepairRecord& record);
