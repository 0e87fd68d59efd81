#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "quenlocale.h"

namespace {

// Sets the four locale variables for one test and restores them afterwards.
class LocaleEnv : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* v = std::getenv(name);
      if (v != nullptr) saved_[name] = v;
      ::unsetenv(name);
    }
  }
  void TearDown() override {
    for (const char* name : kNames) {
      ::unsetenv(name);
      auto it = saved_.find(name);
      if (it != saved_.end()) ::setenv(name, it->second.c_str(), 1);
    }
  }
  static QString Lang() { return QuenLocale::getInstance()->getDefaultLanguage(); }

  static constexpr const char* kNames[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
  std::map<std::string, std::string> saved_;
};

}  // namespace

TEST(QuenLocale, EveryTranslatedLanguageHasItsCode) {
  const std::map<std::string, std::string> cases = {
      {"zh_CN.UTF-8", "chs"}, {"zh_SG", "chs"},      {"zh", "chs"},          {"zh_TW.UTF-8", "cht"},
      {"zh_HK", "cht"},       {"zh-Hant", "cht"},    {"cs_CZ.UTF-8", "csy"}, {"da_DK", "dan"},
      {"en_US.UTF-8", "enu"}, {"en_GB", "enu"},      {"fr_CA.UTF-8", "fre"}, {"de_AT", "ger"},
      {"de_DE@euro", "ger"},  {"hu_HU", "hun"},      {"it_IT", "ita"},       {"ja_JP.eucJP", "jpn"},
      {"ko_KR.UTF-8", "krn"}, {"nl_BE", "nld"},      {"nb_NO.UTF-8", "nor"}, {"nn_NO", "nor"},
      {"no_NO", "nor"},       {"pl_PL", "plk"},      {"pt_BR.UTF-8", "ptb"}, {"pt-br", "ptb"},
      {"pt_PT", "ptg"},       {"pt", "ptg"},         {"ru_RU.KOI8-R", "rus"}, {"es_MX", "spn"},
      {"sv_SE", "sve"},       {"th_TH.UTF-8", "tha"}, {"tr_TR", "trk"},
  };
  for (const auto& [name, code] : cases)
    EXPECT_EQ(QuenLocale::codeForLocaleName(QString::fromStdString(name)).toStdString(), code) << name;
  for (const char* untranslated : {"", "C", "POSIX", "C.UTF-8", "fi_FI", "el_GR", "_US", "zz"})
    EXPECT_TRUE(QuenLocale::codeForLocaleName(QString::fromLatin1(untranslated)).isEmpty()) << untranslated;
}

TEST_F(LocaleEnv, NothingSetOrUntranslatedGivesEnglish) {
  EXPECT_EQ(Lang(), QStringLiteral("enu"));
  ::setenv("LANG", "fi_FI.UTF-8", 1);
  EXPECT_EQ(Lang(), QStringLiteral("enu"));
  ::setenv("LANG", "C", 1);
  EXPECT_EQ(Lang(), QStringLiteral("enu"));
}

TEST_F(LocaleEnv, LcAllBeatsLcMessagesBeatsLang) {
  ::setenv("LANG", "fr_FR.UTF-8", 1);
  EXPECT_EQ(Lang(), QStringLiteral("fre"));
  ::setenv("LC_MESSAGES", "ja_JP.UTF-8", 1);
  EXPECT_EQ(Lang(), QStringLiteral("jpn"));
  ::setenv("LC_ALL", "th_TH.UTF-8", 1);
  EXPECT_EQ(Lang(), QStringLiteral("tha"));
  // An empty value counts as unset.
  ::setenv("LC_ALL", "", 1);
  EXPECT_EQ(Lang(), QStringLiteral("jpn"));
}

TEST_F(LocaleEnv, LanguageListWinsUnlessTheLocaleIsC) {
  ::setenv("LANG", "de_DE.UTF-8", 1);
  ::setenv("LANGUAGE", "fi:pt_BR:de", 1);
  // The first entry with a translation wins.
  EXPECT_EQ(Lang(), QStringLiteral("ptb"));
  ::setenv("LANGUAGE", "fi:el", 1);
  EXPECT_EQ(Lang(), QStringLiteral("ger"));
  ::setenv("LANGUAGE", "sv", 1);
  ::setenv("LC_ALL", "C", 1);
  EXPECT_EQ(Lang(), QStringLiteral("enu"));
  ::unsetenv("LC_ALL");
  ::unsetenv("LANG");
  EXPECT_EQ(Lang(), QStringLiteral("enu"));
}
