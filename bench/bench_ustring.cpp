// ustring against std::string on the path work the launcher does: building paths from
// pieces, splitting off the last component, comparing. ustring resizes exactly on every
// append, so the piece-by-piece build shows what that costs.
#include <chrono>
#include <cstdio>
#include <string>

#include "ustring/ustring.h"

namespace {

template <typename F>
double Seconds(F f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

volatile size_t sink;

template <typename S>
void BuildPaths(int rounds) {
  for (int i = 0; i < rounds; ++i) {
    S p("/home/user/.QuenvaleDrive");
    p += "/QuenvaleDrive.app";
    p += "/package/";
    p += "lib";
    p += '/';
    p += "libsomething.so.1";
    sink = p.size();
  }
}

template <typename S>
void SplitPaths(int rounds) {
  S p("/home/user/.QuenvaleDrive/QuenvaleDrive.app/package/lib/libsomething.so.1");
  for (int i = 0; i < rounds; ++i) {
    size_t slash = p.find_last_of("/");
    S base = p.substr(slash + 1);
    S parent = p.substr(0, slash);
    sink = base.size() + parent.size() + (base == parent ? 1 : 0);
  }
}

template <typename S>
void ByteAtATime(int n) {
  S s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
  sink = s.size();
}

void Report(const char* what, double ours, double std_time) {
  std::printf("%-28s ustring %8.3f ms   std::string %8.3f ms   ratio %5.2f\n", what,
              ours * 1e3, std_time * 1e3, ours / std_time);
}

}  // namespace

int main() {
  const int rounds = 200000;
  Report("build path from 6 pieces", Seconds([] { BuildPaths<ustring>(rounds); }),
         Seconds([] { BuildPaths<std::string>(rounds); }));
  Report("split parent/base", Seconds([] { SplitPaths<ustring>(rounds); }),
         Seconds([] { SplitPaths<std::string>(rounds); }));
  Report("append 100000 single bytes", Seconds([] { ByteAtATime<ustring>(100000); }),
         Seconds([] { ByteAtATime<std::string>(100000); }));

  ustring nfd("/home/user/Documents/re\xCC\x81sume\xCC\x81.txt");
  double t = Seconds([&] {
    for (int i = 0; i < rounds / 10; ++i) sink = nfd.normalize(ustring::NFC).size();
  });
  std::printf("%-28s ustring %8.3f ms   (%d strings)\n", "NFC of a 30-byte path", t * 1e3,
              rounds / 10);
  return 0;
}
