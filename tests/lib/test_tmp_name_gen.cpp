#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tmp_name_gen.h"
#include "test_env.h"

namespace {

const std::string kAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";

bool IsName(const std::string& s) {
  return s.size() == 8 && s.find_first_not_of(kAlphabet) == std::string::npos;
}

TEST(TmpNameGen, NamesAreEightAlphabetSymbolsAndVary) {
  TmpNameGen& gen = TmpNameGen::getInstance();
  EXPECT_EQ(&gen, &TmpNameGen::getInstance());
  std::set<std::string> names;
  std::set<char> used;
  for (int i = 0; i < 2000; ++i) {
    std::string n = gen.getTmpName();
    ASSERT_TRUE(IsName(n)) << n;
    names.insert(n);
    used.insert(n.begin(), n.end());
  }
  EXPECT_EQ(names.size(), 2000u);
  EXPECT_EQ(used.size(), 64u);  // 16000 draws reach every symbol, "-" and "_" included
}

TEST(TmpNameGen, PathIsPrefixSlashName) {
  TmpNameGen& gen = TmpNameGen::getInstance();
  std::string p = gen.getTmpPath("/home/u/dir");
  ASSERT_EQ(p.size(), 20u);
  EXPECT_EQ(p.substr(0, 12), "/home/u/dir/");
  EXPECT_TRUE(IsName(p.substr(12)));

  p = gen.getTmpPath("");
  EXPECT_EQ(p[0], '/');
  EXPECT_TRUE(IsName(p.substr(1)));

  p = gen.getTmpPath("/tmp/");
  EXPECT_EQ(p.substr(0, 6), "/tmp//");
}

TEST(TmpNameGen, ThreadsGetWholeNames) {
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> got(4);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < 500; ++i) got[t].push_back(TmpNameGen::getInstance().getTmpName());
    });
  for (auto& th : threads) th.join();
  std::set<std::string> all;
  for (const auto& v : got)
    for (const auto& n : v) {
      EXPECT_TRUE(IsName(n));
      all.insert(n);
    }
  EXPECT_EQ(all.size(), 2000u);
}

// Two fresh processes (singleton built anew in each) must not share a seed. The test
// runs itself as the child: with QV_TMPNAME_OUT set it only writes its first name.
TEST(TmpNameGen, FreshProcessesDrawDifferentNames) {
  if (const char* out = std::getenv("QV_TMPNAME_OUT")) {
    std::ofstream(out) << TmpNameGen::getInstance().getTmpName();
    return;
  }
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  ASSERT_GT(n, 0);
  exe[n] = 0;
  std::string dir = qvtest::MakeTempDir("names");
  std::vector<std::string> firsts;
  for (int i = 0; i < 3; ++i) {
    std::string out = dir + "/n" + std::to_string(i);
    ASSERT_EQ(qvtest::Shell("QV_TMPNAME_OUT='" + out + "' '" + exe +
                            "' --gtest_filter=TmpNameGen.FreshProcessesDrawDifferentNames"
                            " >/dev/null 2>&1"),
              0);
    firsts.push_back(qvtest::ReadFile(out));
    EXPECT_TRUE(IsName(firsts.back())) << firsts.back();
  }
  EXPECT_EQ(std::set<std::string>(firsts.begin(), firsts.end()).size(), 3u);
}

}  // namespace
