#include "tmp_name_gen.h"

#include <cstdint>

TmpNameGen& TmpNameGen::getInstance() {
  static TmpNameGen instance;
  return instance;
}

TmpNameGen::TmpNameGen() : engine(1) { reseed(); }

void TmpNameGen::reseed() {
  std::lock_guard<std::mutex> lock(mutex);
  // From the system's entropy source, not the clock: launchers started in the same
  // instant must still draw different names.
  std::random_device device("default");
  uint32_t seed = device();
  engine.seed(seed);  // the engine maps seed % modulus == 0 to state 1
}

std::string TmpNameGen::getTmpName() {
  static std::uniform_int_distribution<int> dis(0, 63);
  static const char map[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

  std::lock_guard<std::mutex> lock(mutex);
  char name[8];
  for (char& c : name) c = map[dis(engine)];
  return std::string(name, sizeof(name));
}

std::string TmpNameGen::getTmpPath(const std::string& prefix) {
  return prefix + "/" + getTmpName();
}
