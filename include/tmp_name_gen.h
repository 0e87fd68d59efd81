// Process-wide source of random names for temporary files and folders. It only composes
// names: it creates nothing on disk and does not check that a name is free.
#pragma once

#include <mutex>
#include <random>
#include <string>

class TmpNameGen {
 public:
  static TmpNameGen& getInstance();

  // 8 symbols from [0-9a-zA-Z-_], 6 random bits each.
  std::string getTmpName();
  // prefix + "/" + getTmpName(); the prefix is taken as given.
  std::string getTmpPath(const std::string& prefix);

 private:
  TmpNameGen();
  TmpNameGen(const TmpNameGen&);
  TmpNameGen& operator=(const TmpNameGen&) = delete;
  void reseed();

  std::mutex mutex;
  std::minstd_rand0 engine;
};
