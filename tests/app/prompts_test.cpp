// The operator's questions: texts and order, the four kinds of answer, write-back to the two
// sections, the SCAP branch, the end of standard input, long answers and oversized amounts.
#include "app/prompts.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/settings.h"
#include "app/startup.h"
#include "platform/console.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

namespace {

constexpr char kAbsent[] = "<absent>";

// A settings file that holds every required value, so that Enter alone gets through, with
// further lines for each section.
std::string Ini(const std::string& mainExtra = "", const std::string& messageExtra = "") {
  return "[MM9Diameter]\r\n"
         "Destination-Host-Address=192.0.2.1\r\n"
         "Destination-Host-Port-Number=3868\r\n"
         "Destination-Realm=ocs.test\r\n"
         "Host-IP-Address=192.0.2.9\r\n"
         "Origin-Host=mmsc.test\r\n"
         "Origin-Realm=test\r\n" +
         mainExtra +
         "[Varnholt]\r\n"
         "SenderAddress=+4917011\r\n"
         "RecipAddress=+4917022\r\n" +
         messageExtra;
}

class Prompts : public ::testing::Test {
 protected:
  void SetUp() override {
    snprintf(SettingsFilePath, sizeof SettingsFilePath, "%s", dir.File("mm9charge.INI").c_str());
    consoleFd = open(dir.File("console").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND, 0644);
    platform::SetConsoleErrorFdForTests(consoleFd);
    ResetSettings();
  }
  void TearDown() override {
    platform::SetConsoleErrorFdForTests(-1);
    close(consoleFd);
  }

  void Seed(const std::string& text) {
    WriteWholeFile(SettingsFilePath, text);
    LoadSettings();
  }

  // Runs the questions with input as standard input; 1 or 0 as PromptOperator gives.
  int Ask(const std::string& input) {
    WriteWholeFile(dir.File("stdin"), input);
    int fd = open(dir.File("stdin").c_str(), O_RDONLY);
    EXPECT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
    close(fd);
    return PromptOperator(&missingKey);
  }

  std::string Key(const char* section, const char* key) {
    char value[512];
    platform::ProfileReadString(section, key, kAbsent, value, sizeof value, SettingsFilePath);
    return value;
  }
  std::string Console() { return ReadWholeFile(dir.File("console")); }
  std::string File() { return ReadWholeFile(SettingsFilePath); }

  TempDir dir;
  int consoleFd = -1;
  const char* missingKey = nullptr;
};

std::string Lines(const std::vector<std::string>& answers) {
  std::string text;
  for (const std::string& a : answers) text += a + "\n";
  return text;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(Prompts, EnterThroughShowsEveryQuestionInOrderWithItsValue) {
  const std::string common =
      "(Remote) Diameter Server Host Name or IP Address [192.0.2.1]: "
      "(Remote) Diameter Server Port Number [3868]: "
      "(Remote) Diameter Destination-Realm [ocs.test]: "
      "(Local/Origin) Diameter Host-IP-Address [192.0.2.9]: "
      "(Local) Diameter Origin-Host [mmsc.test]: "
      "(Local) Diameter Origin-Realm [test]: "
      "Service-Context-Id (optional) [32270@3gpp.org]: "
      "Service-Identifier (optional) [7] : "
      "Requested-Service-Unit CC-Service-Specific-Units (optional, leave black for standard MM9) "
      "[] : "
      "Requested-Service-Unit CC-Money (optional, use decimal format 1.23) [1.23] : "
      "Requested-Service-Unit Currency-Code (optional, use ISO 4217 currency code) [978] : "
      "MMS Sender Phone Number [+4917011]: "
      "MMS Recipient Phone Number [+4917022]: "
      "SGSN-MCC-MNC (optional) []: "
      "SGSN-Address (optional) []: "
      "VASPID (optional) [vasp]: ";
  struct Case {
    const char* scap;
    std::string tail;
  };
  const Case cases[] = {
      {"N",
       "Enable Ericsson SCAP Extension Set? (Y/N) [N]: "
       "Enable 3GPPTIMEZONE Extension Set? (Y/N) [Y]: "
       "Enable 3GPP Extension Set? (Y/N) [N]: "},
      {"Y",
       "Enable Ericsson SCAP Extension Set? (Y/N) [Y]: "
       "Ericsson SCAP Service-Provider-Id (optional) [sp] : "
       "Ericsson SCAP Subscription-Id-Location (optional) [] : "
       "Enable 3GPP Extension Set? (Y/N) [N]: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scap);
    ASSERT_EQ(ftruncate(consoleFd, 0), 0);
    ResetSettings();
    Seed(Ini(
        "Service-Identifier=7\r\nCC-Money=1.23\r\nCurrency-Code=978\r\n"
        "Service-Provider-Id=sp\r\n",
        "VASPID=vasp\r\nInclude3GPPMSTimeZone=1\r\nIncludeSCAPParameters=" + std::string(c.scap) +
            "\r\n"));
    ASSERT_EQ(Ask(std::string(21, '\n')), 1);
    EXPECT_EQ(Console(), common + c.tail);
  }
}

TEST_F(Prompts, AnswersAreTrimmedOrKeptVerbatimAndWrittenToTheirSections) {
  Seed(Ini("Currency-Code=978\r\n", "SGSN-MCC-MNC=26201\r\n"));
  ASSERT_EQ(Ask(Lines({"  ocs.example ", "", "", "", "", "",
                       "\tctx",  // a tab is no blank: it stays
                       "   ",    // blanks only empty an optional field: key deleted
                       "", "", "", "  +49 170 ", "", "   ",
                       "  10.0.0.1",  // verbatim: leading blanks stay
                       "   ",         // verbatim: blanks become the value
                       "n", "", ""})),
            1);
  EXPECT_STREQ(Settings.DestinationHostAddress, "ocs.example ");
  EXPECT_STREQ(Settings.ServiceContextId, "\tctx");
  EXPECT_STREQ(Settings.ServiceIdentifier, "");
  EXPECT_STREQ(Settings.SenderAddress, "+49 170 ");
  EXPECT_STREQ(Settings.SGSNMCCMNC, "");
  EXPECT_STREQ(Settings.SGSNAddress, "  10.0.0.1");
  EXPECT_STREQ(Settings.VASPID, "   ");

  const std::string file = File();
  EXPECT_NE(file.find("Destination-Host-Address=ocs.example "), std::string::npos) << file;
  EXPECT_NE(file.find("SGSN-Address=  10.0.0.1"), std::string::npos) << file;
  EXPECT_NE(file.find("VASPID=   "), std::string::npos) << file;
  EXPECT_EQ(Key("MM9Diameter", "Service-Identifier"), kAbsent);
  EXPECT_EQ(Key("Varnholt", "SGSN-MCC-MNC"), kAbsent);
  EXPECT_EQ(Key("MM9Diameter", "Currency-Code"), "978");  // Enter keeps it
  EXPECT_EQ(Key("MM9Diameter", "Origin-Host"), "mmsc.test");
  EXPECT_EQ(Key("Varnholt", "SenderAddress"), "+49 170");  // the reader trims the line end
  EXPECT_EQ(Key("Varnholt", "RecipAddress"), "+4917022");
  EXPECT_EQ(Key("MM9Diameter", "SenderAddress"), kAbsent);
  EXPECT_EQ(Key("Varnholt", "Destination-Host-Address"), kAbsent);
}

TEST_F(Prompts, RequiredFieldIsAskedAgainUntilItHasAValue) {
  // Nothing loaded: every required field starts empty.
  ASSERT_EQ(Ask(Lines({"", "   ", "ocs", "3868", "realm", "192.0.2.9", "me", "test", "", "", "",
                       "", "",    "+1",  "+2",   "",      "",          "",   "",     "", ""})),
            1);
  const std::string console = Console();
  const std::string first = "(Remote) Diameter Server Host Name or IP Address []: ";
  EXPECT_EQ(
      console.rfind(first + "This field is required\r\n" + first + "This field is required\r\n" +
                        first + "(Remote) Diameter Server Port Number []: ",
                    0),
      0u)
      << console;
  EXPECT_EQ(Count(console, "This field is required\r\n"), 2u);
  EXPECT_EQ(Key("MM9Diameter", "Destination-Host-Address"), "ocs");
}

TEST_F(Prompts, EndOfInputTakesEnterAndStopsAtAnEmptyRequiredField) {
  // Three answers, then the input ends: Host-IP-Address has no value to fall back on.
  ASSERT_EQ(Ask("ocs\n3868\nrealm\n"), 0);
  ASSERT_NE(missingKey, nullptr);
  EXPECT_STREQ(missingKey, "Host-IP-Address");
  EXPECT_EQ(Key("MM9Diameter", "Destination-Realm"), "realm");  // the answers given are kept
  EXPECT_EQ(Count(Console(), "(Local/Origin) Diameter Host-IP-Address []: "), 1u);
  EXPECT_EQ(Console().find("(Local) Diameter Origin-Host"), std::string::npos);

  // With every required value loaded, the end of the input is Enter for all the rest; a last
  // line without line end still counts.
  ResetSettings();
  Seed(Ini());
  ASSERT_EQ(Ask("other.ocs"), 1);
  EXPECT_STREQ(Settings.DestinationHostAddress, "other.ocs");
  EXPECT_NE(Console().find("Enable 3GPP Extension Set? (Y/N) [N]: "), std::string::npos);
}

TEST_F(Prompts, LongAnswerIsCutToTheFieldsRoom) {
  Seed(Ini());
  const std::string longAnswer(300, 'h');
  ASSERT_EQ(Ask("  " + longAnswer + "\n" + std::string(20, '\n')), 1);
  EXPECT_EQ(std::string(Settings.DestinationHostAddress), std::string(149, 'h'));
  EXPECT_EQ(Key("MM9Diameter", "Destination-Host-Address"), std::string(149, 'h'));
}

TEST_F(Prompts, MoneyWhoseDigitsDoNotFitIsRefusedAndAskedAgain) {
  struct Case {
    const char* answer;
    bool refused;
  };
  const Case cases[] = {
      {"21474836.47", false}, {"21474836.48", true}, {"99999999999", true}, {"-2147483647", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    ResetSettings();
    ASSERT_EQ(ftruncate(consoleFd, 0), 0);
    Seed(Ini("CC-Money=1.23\r\n"));
    std::vector<std::string> answers(9, "");
    answers.push_back(c.answer);
    if (c.refused) answers.push_back("4.56");
    answers.resize(answers.size() + 11, "");
    ASSERT_EQ(Ask(Lines(answers)), 1);
    const std::string console = Console();
    EXPECT_EQ(Count(console, "CC-Money is too large"), c.refused ? 1u : 0u);
    // A refused amount is not taken: the question comes again showing the value it had.
    EXPECT_EQ(Count(console, "CC-Money (optional, use decimal format 1.23) [1.23] : "),
              c.refused ? 2u : 1u);
    EXPECT_EQ(Key("MM9Diameter", "CC-Money"), c.refused ? "4.56" : c.answer);
  }

  // An oversized amount from the file with the input at its end cannot be settled.
  ResetSettings();
  Seed(Ini("CC-Money=1234567890123\r\n"));
  ASSERT_EQ(Ask(""), 0);
  EXPECT_STREQ(missingKey, "CC-Money");
  EXPECT_EQ(Key("MM9Diameter", "CC-Money"), "1234567890123");
}

TEST_F(Prompts, YesNoAnswersGoToTheMessageSectionAndEnterKeepsTheLoadedValue) {
  // The 3GPP question (the last one) under different files and answers.
  struct Case {
    const char* name;
    const char* main;     // further lines of MM9Diameter
    const char* message;  // further lines of Varnholt
    const char* answer;
    int flag;
    const char* inMessage;  // the key in Varnholt afterwards
    const char* inMain;     // the key in MM9Diameter afterwards
    const char* line;       // a line the file then holds
  };
  const Case cases[] = {
      {"typed yes", "Include3GPPMMSInformation=N\r\n", "", "yes", 1, "yes", kAbsent,
       "Include3GPPMMSInformation=yes"},
      // Written as typed; the reader trims the blank when the file is read again.
      {"typed blank Y", "", "", " Y", 0, "Y", kAbsent, "Include3GPPMMSInformation= Y"},
      {"Enter, loaded from Varnholt", "Include3GPPMMSInformation=N\r\n",
       "Include3GPPMMSInformation=on\r\n", "", 1, "on", kAbsent, "Include3GPPMMSInformation=on"},
      {"Enter, loaded from MM9Diameter", "Include3GPPMMSInformation=True\r\n", "", "", 1, "True",
       kAbsent, "Include3GPPMMSInformation=True"},
      {"Enter, nowhere", "", "", "", 0, kAbsent, kAbsent, "[Varnholt]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResetSettings();
    Seed(Ini(c.main, c.message));
    ASSERT_EQ(Ask(std::string(18, '\n') + c.answer + "\n"), 1);
    EXPECT_EQ(Settings.Include3GPPMMSInformation, c.flag);
    EXPECT_EQ(Key("Varnholt", "Include3GPPMMSInformation"), c.inMessage);
    EXPECT_EQ(Key("MM9Diameter", "Include3GPPMMSInformation"), c.inMain);
    EXPECT_NE(File().find(c.line), std::string::npos) << File();
  }
}

TEST_F(Prompts, ScapBranchAsksForItsValuesInsteadOfTheTimeZoneSet) {
  const std::string seeded =
      Ini("Include3GPPMSTimeZone=Y\r\nService-Provider-Id=old-sp\r\n"
          "Subscription-Id-Location=old-loc\r\n");
  // SCAP enabled: its two values are asked; the time-zone keys stay as they were.
  Seed(seeded);
  ASSERT_EQ(Ask(std::string(16, '\n') + "Y\nnew-sp\n   \nY\n"), 1);
  EXPECT_EQ(Settings.IncludeSCAPParameters, 1);
  EXPECT_EQ(Settings.Include3GPPMSTimeZone, 1);
  EXPECT_EQ(Console().find("3GPPTIMEZONE"), std::string::npos);
  EXPECT_EQ(Key("MM9Diameter", "Service-Provider-Id"), "new-sp");
  EXPECT_EQ(Key("MM9Diameter", "Subscription-Id-Location"), kAbsent);
  EXPECT_EQ(Key("MM9Diameter", "Include3GPPMSTimeZone"), "Y");
  EXPECT_EQ(Key("Varnholt", "Include3GPPMSTimeZone"), kAbsent);
  EXPECT_EQ(Key("Varnholt", "IncludeSCAPParameters"), "Y");

  // SCAP disabled: the SCAP keys stay untouched, the time-zone question comes.
  ResetSettings();
  ASSERT_EQ(ftruncate(consoleFd, 0), 0);
  Seed(seeded);
  ASSERT_EQ(Ask(std::string(16, '\n') + "N\nN\n\n"), 1);
  EXPECT_EQ(Console().find("SCAP Service-Provider-Id"), std::string::npos);
  EXPECT_EQ(Key("MM9Diameter", "Service-Provider-Id"), "old-sp");
  EXPECT_EQ(Key("MM9Diameter", "Subscription-Id-Location"), "old-loc");
  EXPECT_EQ(Settings.Include3GPPMSTimeZone, 0);
  EXPECT_EQ(Key("Varnholt", "Include3GPPMSTimeZone"), "N");
  EXPECT_EQ(Key("MM9Diameter", "Include3GPPMSTimeZone"), kAbsent);
}

}  // namespace
