// The generator behind the string table: it is run here on small sources, and its
// output goes through the same tools the build uses (the C++ compiler, lrelease).
#include <gtest/gtest.h>

#include <QLibraryInfo>
#include <QString>
#include <QTranslator>
#include <string>

#include "test_env.h"
#include "build_paths.h"

namespace {

const std::string kScript = QV_SOURCE_DIR + "/ui-client/launcher/texts/gen_strtab.cmake";

struct GenResult {
  int status = -1;
  std::string dir;  // where the outputs went
  std::string log;  // what cmake printed
};

GenResult Generate(const std::string& source) {
  GenResult r;
  const std::string work = qvtest::MakeTempDir("gen");
  r.dir = work + "/out";
  qvtest::WriteFile(work + "/strtab.txt", source);
  r.status = qvtest::Shell("cmake -DSOURCE=" + work + "/strtab.txt -DOUT_DIR=" + r.dir +
                          " -P " + kScript + " >" + work + "/log 2>&1");
  r.log = qvtest::ReadFile(work + "/log");
  return r;
}

const std::string kHead =
    "# two languages, four rows\n"
    "rows\t4\n"
    "language\tger\tde_DE\n"
    "language\tfre\tfr_FR\n"
    "reserved\tspare_{id}\tSpare {id}\n";

TEST(GenStrTable, RowsInIdOrderWithReservedRowsFilledIn) {
  GenResult r = Generate(kHead +
                         "\n"
                         "row\t2\tsecond_row\tSecond\n"
                         "tr\tger\tZweite\n"
                         "row\t\t0\t\tfirst_row\t\tFirst\n");  // aligned with tab runs
  ASSERT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(qvtest::ReadFile(r.dir + "/strtab_rows.inc"),
            "// Generated from strtab.txt by gen_strtab.cmake: edit that file, not this one.\n"
            "QV_STR_ROW(0, first_row, \"First\")\n"
            "QV_STR_ROW(1, spare_0001, \"Spare 0001\")\n"
            "QV_STR_ROW(2, second_row, \"Second\")\n"
            "QV_STR_ROW(3, spare_0003, \"Spare 0003\")\n");

  const std::string ger = qvtest::ReadFile(r.dir + "/ger.ts");
  EXPECT_NE(ger.find("<TS version=\"2.1\" language=\"de_DE\">"), std::string::npos);
  EXPECT_NE(ger.find("<name>global</name>"), std::string::npos);
  EXPECT_NE(ger.find("<source>Second</source>\n        <translation>Zweite</translation>"),
            std::string::npos)
      << ger;
  // Without a translation the message stays unfinished, so lrelease leaves it out.
  EXPECT_NE(ger.find("<source>First</source>\n        <translation type=\"unfinished\">"),
            std::string::npos)
      << ger;
  EXPECT_NE(qvtest::ReadFile(r.dir + "/fre.ts").find("language=\"fr_FR\""), std::string::npos);
}

TEST(GenStrTable, SharedTextIsOneMessageWithOneTranslation) {
  GenResult r = Generate(kHead +
                         "row\t0\tok_a\tOK\n"
                         "row\t1\tok_b\tOK\n"
                         "tr\tger\tJa\n"
                         "row\t2\tok_c\tOK\n"
                         "tr\tger\tJa\n"
                         "row\t3\tcancel\tCancel\n");
  ASSERT_EQ(r.status, 0) << r.log;
  const std::string ger = qvtest::ReadFile(r.dir + "/ger.ts");
  size_t count = 0;
  for (size_t pos = ger.find("<source>OK</source>"); pos != std::string::npos;
       pos = ger.find("<source>OK</source>", pos + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 1u) << ger;
  EXPECT_NE(ger.find("<source>OK</source>\n        <translation>Ja</translation>"),
            std::string::npos);
}

TEST(GenStrTable, FaultsInTheSourceStopTheBuild) {
  struct Case {
    const char* what;
    std::string source;
    const char* message;
  };
  const Case cases[] = {
      {"keys differing only in case", kHead + "row\t0\tName\tA\nrow\t1\tNAME\tB\n",
       "clashes with the key of row 0"},
      {"key clashing with a reserved key", kHead + "row\t0\tSpare_0003\tA\n",
       "spare_0003 clashes with the key of row 0"},
      {"two translations of a shared text",
       kHead + "row\t0\ta\tOK\ntr\tger\tJa\nrow\t1\tb\tOK\ntr\tger\tGut\n",
       "already has another ger translation"},
      {"id past the end", kHead + "row\t4\ta\tA\n", "row id 4 is outside"},
      {"id given twice", kHead + "row\t1\ta\tA\nrow\t1\tb\tB\n", "row 1 is given twice"},
      {"translation before any row", kHead + "tr\tger\tJa\n", "must follow its row"},
      {"translation twice", kHead + "row\t1\ta\tA\ntr\tger\tX\ntr\tger\tY\n",
       "two ger translations"},
      {"undeclared language", kHead + "row\t1\ta\tA\ntr\tita\tSi\n", "unknown language ita"},
      {"key that is no identifier", kHead + "row\t1\tbad-key\tA\n",
       "is not a valid identifier"},
      {"row without text", kHead + "row\t1\ta\n", "expected: row ID KEY TEXT"},
      {"rows missing and nothing reserved",
       "rows\t2\nlanguage\tger\tde_DE\nrow\t0\ta\tA\n", "row 1 is missing"},
      {"no row count", "language\tger\tde_DE\n", "no \"rows COUNT\" entry"},
      {"unknown entry", kHead + "rwo\t1\ta\tA\n", "unknown entry \"rwo\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    GenResult r = Generate(c.source);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.log.find(c.message), std::string::npos) << r.log;
  }
  // The message names the line at fault (line 8: the second row).
  GenResult r = Generate(kHead + "\nrow\t1\ta\tA\nrow\t1\tb\tB\n");
  EXPECT_NE(r.log.find("strtab.txt:8: row 1 is given twice"), std::string::npos) << r.log;
}

// Characters that CMake, C++ or XML treat specially must come out of the compiled
// table and the compiled catalogue exactly as they were written.
TEST(GenStrTable, AwkwardCharactersSurviveCompilerAndLrelease) {
  const std::string english = "Say \"hi\" & <go>; [x] a\\b ?\?= 100% \\n end\\";
  const std::string german = "Sag \"hallo\" & <los>; [x] a\\b ?\?= \xC3\xBC \\t Ende\\";
  GenResult r = Generate(kHead + "row\t1\tawkward\t" + english + "\ntr\tger\t" + german +
                         "\nrow\t2\tsecond\tpl\xC3\xA4in [\n");
  ASSERT_EQ(r.status, 0) << r.log;

  const std::string work = qvtest::MakeTempDir("compile");
  ASSERT_TRUE(qvtest::WriteFile(work + "/dump.cpp",
                                "#include <cstdio>\n"
                                "int main() {\n"
                                "#define QV_STR_ROW(id, key, text) std::printf(\"%d %s %s|\", "
                                "id, #key, text);\n"
                                "#include \"strtab_rows.inc\"\n"
                                "}\n"));
  ASSERT_EQ(qvtest::Shell("c++ -std=c++17 -Wall -Wextra -Werror -I" + r.dir + " -o " + work +
                          "/dump " + work + "/dump.cpp"),
            0);
  EXPECT_EQ(qvtest::ShellOutput(work + "/dump"),
            "0 spare_0000 Spare 0000|1 awkward " + english + "|2 second pl\xC3\xA4in [|" +
                "3 spare_0003 Spare 0003|");

  const QString lrelease =
      QLibraryInfo::location(QLibraryInfo::BinariesPath) + "/lrelease";
  ASSERT_EQ(qvtest::Shell(lrelease.toStdString() + " -silent " + r.dir + "/ger.ts -qm " +
                          work + "/ger.qm"),
            0);
  QTranslator translator;
  ASSERT_TRUE(translator.load(QString::fromStdString(work + "/ger.qm")));
  EXPECT_EQ(translator.translate("global", english.c_str()), QString::fromStdString(german));
  EXPECT_EQ(translator.translate("global", "pl\xC3\xA4in ["), QString());
}

}  // namespace
