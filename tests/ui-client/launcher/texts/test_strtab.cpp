#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTranslator>
#include <memory>
#include <utility>
#include <vector>

#include "catalogue_texts.h"
#include "strtab.h"

// Q_INIT_RESOURCE declares qInitResources_texts in the enclosing namespace, so it is
// used at file scope, the way main registers the resource.
static void RegisterTextsResource() { Q_INIT_RESOURCE(texts); }

namespace {

static_assert(StrTable::NUM_STRING_IDS == 1052, "the table keeps the client's row count");
static_assert(StrTable::desc_skld_env_preparing_drive == 83, "");
static_assert(StrTable::app_name_drive_client == 341, "");
static_assert(StrTable::desc_skld_env_preparation_done_drive == 391, "");

using texttest::Catalogue;
using texttest::kCatalogues;

// Answers one source text with a fixed translation, and only when asked the way the
// table must ask: context "global", no disambiguation, no plural number.
class FixedTranslator : public QTranslator {
 public:
  FixedTranslator(QString source, QString translation)
      : source_(std::move(source)), translation_(std::move(translation)) {}

  QString translate(const char* context, const char* source, const char* disambiguation,
                    int n) const override {
    if (qstrcmp(context, "global") == 0 && disambiguation == nullptr && n == -1 &&
        QString::fromUtf8(source) == source_) {
      return translation_;
    }
    return QString();
  }
  bool isEmpty() const override { return false; }

 private:
  QString source_;
  QString translation_;
};

class StrTableTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RegisterTextsResource();
    StrTable::InitStrTable();
  }

  void TearDown() override {
    for (auto& t : installed_) {
      QCoreApplication::removeTranslator(t.get());
    }
  }

  void Install(std::unique_ptr<QTranslator> translator) {
    ASSERT_TRUE(QCoreApplication::installTranslator(translator.get()));
    installed_.push_back(std::move(translator));
  }

  std::vector<std::unique_ptr<QTranslator>> installed_;
};

TEST_F(StrTableTest, RowsHaveDistinctKeysAndTexts) {
  QSet<QString> keys;
  for (int id = 0; id < StrTable::NUM_STRING_IDS; ++id) {
    ASSERT_NE(StrTable::ktab[id], nullptr) << id;
    ASSERT_NE(StrTable::stab[id], nullptr) << id;
    EXPECT_STRNE(StrTable::ktab[id], "") << id;
    EXPECT_STRNE(StrTable::stab[id], "") << id;
    const QString lower = QString::fromLatin1(StrTable::ktab[id]).toLower();
    EXPECT_FALSE(keys.contains(lower)) << "key clash at " << id << ": " << StrTable::ktab[id];
    keys.insert(lower);
    // Every row is found again by its own key: the enumeration and ktab agree.
    EXPECT_EQ(StrTable::LookupStrID(QString::fromLatin1(StrTable::ktab[id])), id);
  }

  EXPECT_STREQ(StrTable::ktab[83], "desc_skld_env_preparing_drive");
  EXPECT_STREQ(StrTable::stab[83], "%1 is initializing...");
  EXPECT_STREQ(StrTable::ktab[341], "app_name_drive_client");
  EXPECT_STREQ(StrTable::stab[341], "Quenvale Drive Client");
  EXPECT_STREQ(StrTable::ktab[391], "desc_skld_env_preparation_done_drive");
  EXPECT_STREQ(StrTable::stab[391], "%1 is ready.");
}

TEST_F(StrTableTest, LookupIgnoresCaseAndRejectsOtherKeys) {
  EXPECT_EQ(StrTable::LookupStrID("app_name_drive_client"), 341);
  EXPECT_EQ(StrTable::LookupStrID("APP_NAME_DRIVE_CLIENT"), 341);
  EXPECT_EQ(StrTable::LookupStrID("App_Name_Drive_Client"), 341);
  EXPECT_EQ(StrTable::LookupStrID("desc_skld_env_preparation_done_drive"), 391);

  EXPECT_EQ(StrTable::LookupStrID(QString()), -1);
  EXPECT_EQ(StrTable::LookupStrID(""), -1);
  EXPECT_EQ(StrTable::LookupStrID("no_such_key"), -1);
  EXPECT_EQ(StrTable::LookupStrID("app_name_drive"), -1);
  EXPECT_EQ(StrTable::LookupStrID("app_name_drive_client "), -1);
}

TEST_F(StrTableTest, WithoutTranslatorTextsAreEnglish) {
  EXPECT_EQ(StrTable::LoadStr(StrTable::desc_skld_env_preparation_done_drive),
            "%1 is ready.");
  EXPECT_EQ(StrTable::LoadStr(83), "%1 is initializing...");
  EXPECT_EQ(StrTable::LoadStr(341), "Quenvale Drive Client");
  // Outside the table there is nothing to read.
  EXPECT_EQ(StrTable::LoadStr(-1), QString());
  EXPECT_EQ(StrTable::LoadStr(StrTable::NUM_STRING_IDS), QString());
}

TEST_F(StrTableTest, EveryCatalogueInTheResourceGivesItsTexts) {
  QStringList expected_files;
  for (const Catalogue& c : kCatalogues) {
    expected_files << QString::fromLatin1(c.code) + ".qm";
  }
  expected_files.sort();
  // Exactly these files, at the root: any other code must fall back to English.
  EXPECT_EQ(QDir(":/").entryList({"*.qm"}, QDir::Files, QDir::Name), expected_files);

  for (const Catalogue& c : kCatalogues) {
    SCOPED_TRACE(c.code);
    QTranslator translator;
    ASSERT_TRUE(translator.load(QString(":/%1.qm").arg(c.code)));
    ASSERT_TRUE(QCoreApplication::installTranslator(&translator));
    EXPECT_EQ(StrTable::LoadStr(83), QString::fromUtf8(c.preparing));
    EXPECT_EQ(StrTable::LoadStr(391), QString::fromUtf8(c.ready));
    EXPECT_EQ(StrTable::LoadStr(341), "Quenvale Drive Client");
    // A row without a translation falls back to its English text.
    EXPECT_EQ(StrTable::LoadStr(0), QString::fromUtf8(StrTable::stab[0]));
    QCoreApplication::removeTranslator(&translator);
  }
}

TEST_F(StrTableTest, EscapesInTranslationsBecomeRealCharacters) {
  Install(std::make_unique<FixedTranslator>(
      "%1 is ready.", "%1\\nist bereit.\\tOK\\n\\N\\T"));
  // Every pair is replaced, and only the lower-case ones.
  EXPECT_EQ(StrTable::LoadStr(391), "%1\nist bereit.\tOK\n\\N\\T");
  // Rows that the translator does not know are untouched.
  EXPECT_EQ(StrTable::LoadStr(83), "%1 is initializing...");
}

}  // namespace
