// The settings file after a whole run of the real program: each answer under its section, the
// legacy section gone, the composed extension sets, the SCAP branch, blank and verbatim answers
// and the end of standard input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "run_folder.h"
#include "support/test_peer.h"

namespace {

struct Expect {
  const char* section;
  const char* key;
  const char* value;  // kAbsentKey: the key must be gone
};

struct Case {
  const char* name;
  std::string mainExtra;
  std::string messageExtra;
  std::string input;
  std::vector<Expect> keys;
  std::vector<std::string> lines;  // lines the file holds exactly (values the reader would trim)
  std::vector<std::string> shown;  // questions that must appear
  std::vector<std::string> hidden;
};

constexpr char kLegacy[] =
    "[Quendel]\r\n"
    "OriginHostName=legacy.host\r\n"
    "DestinationRealm=legacy.realm\r\n"
    "ServiceContextId=legacy@ctx\r\n";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

TEST(RunSettings, AnswersLandUnderTheirSectionsAndTheRunCompletesTheFile) {
  const Case cases[] = {
      {"SCAP enabled, input ends after the Service-Provider-Id",
       "Service-Identifier=7\r\nInclude3GPPMMSInformation=Y\r\nSupportedExtensionSets=OLD\r\n",
       "Include3GPPMSTimeZone=1\r\nVASPID=old-vasp\r\n" + std::string(kLegacy),
       AnswerLines({"", "", "  ocs.example ", "", "", "",
                    "",     // the legacy Service-Context-Id is kept under its new key
                    "   ",  // blanks empty an optional field: its key goes
                    "5", "1.23", "978", "", "  +4930123", "26201",
                    "  10.1.2.3",  // verbatim: the leading blanks stay
                    "",            // VASPID as loaded
                    "yes", "sp-1"}),
       {
           {"MM9Diameter", "Destination-Realm", "ocs.example"},
           {"MM9Diameter", "Origin-Host", "mmsc.test"},  // the legacy key is shadowed
           {"MM9Diameter", "Service-Context-Id", "legacy@ctx"},
           {"MM9Diameter", "Service-Identifier", kAbsentKey},
           {"MM9Diameter", "CC-Service-Specific-Units", "5"},
           {"MM9Diameter", "CC-Money", "1.23"},
           {"MM9Diameter", "Currency-Code", "978"},
           {"MM9Diameter", "Service-Provider-Id", "sp-1"},
           {"MM9Diameter", "Subscription-Id-Location", kAbsentKey},
           // The time-zone set was not asked about; its loaded value counts.
           {"MM9Diameter", "SupportedExtensionSets", "SCAP,3GPP,3GPPTIMEZONE,3GPPSGSN"},
           {"MM9Diameter", "IncludeSCAPParameters", kAbsentKey},
           {"MM9Diameter", "Include3GPPMMSInformation", kAbsentKey},
           {"MM9Diameter", "SenderAddress", kAbsentKey},
           {"Varnholt", "SenderAddress", "+491701234567"},
           {"Varnholt", "RecipAddress", "+4930123"},
           {"Varnholt", "SGSN-MCC-MNC", "26201"},
           {"Varnholt", "VASPID", "old-vasp"},
           {"Varnholt", "IncludeSCAPParameters", "yes"},
           // Enter kept the flag loaded from the main section and moved its text here.
           {"Varnholt", "Include3GPPMMSInformation", "Y"},
           {"Varnholt", "Include3GPPMSTimeZone", "1"},
           {"Varnholt", "Destination-Realm", kAbsentKey},
       },
       {"Destination-Realm=ocs.example \r\n", "SGSN-Address=  10.1.2.3\r\n"},
       {"Ericsson SCAP Subscription-Id-Location (optional) [] : ",
        "Enable 3GPP Extension Set? (Y/N) [Y]: "},
       {"3GPPTIMEZONE"}},
      {"SCAP disabled, an SGSN-Address of blanks",
       "Service-Provider-Id=keep-sp\r\nSubscription-Id-Location=keep-loc\r\n",
       "",
       AnswerLines({"", "", "", "", "", "", "", "", "", "", "", "", "", "",
                    "   ",  // blanks are a value here, and bring the SGSN set
                    "", "N", "n", ""}),
       {
           {"MM9Diameter", "Service-Provider-Id", "keep-sp"},
           {"MM9Diameter", "Subscription-Id-Location", "keep-loc"},
           {"MM9Diameter", "Service-Context-Id", "32270@3gpp.org"},
           {"MM9Diameter", "SupportedExtensionSets", "3GPPSGSN"},
           {"Varnholt", "IncludeSCAPParameters", "N"},
           {"Varnholt", "Include3GPPMSTimeZone", "n"},
           {"Varnholt", "Include3GPPMMSInformation", kAbsentKey},
           {"Varnholt", "VASPID", kAbsentKey},
       },
       {"SGSN-Address=   \r\n"},
       {"Enable 3GPPTIMEZONE Extension Set? (Y/N) [N]: "},
       {"Ericsson SCAP Service-Provider-Id"}},
      {"no set enabled, input ends at once",
       "SupportedExtensionSets=OLD\r\n",
       "IncludeSCAPParameters=0\r\n" + std::string(kLegacy),
       "",
       {
           {"MM9Diameter", "SupportedExtensionSets", kAbsentKey},
           {"MM9Diameter", "Destination-Realm", "ocs.test"},
           {"Varnholt", "IncludeSCAPParameters", "0"},
       },
       {},
       {"Enable 3GPPTIMEZONE Extension Set? (Y/N) [N]: "},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunFolder folder;
    TestPeer peer;
    peer.Read().Answer().Read().AnswerResult(2001).Read().Answer();
    peer.Start();
    folder.WriteIni(RunIni(peer.Port(), c.mainExtra, c.messageExtra));

    ProcessResult r = folder.Run(c.input);
    EXPECT_TRUE(peer.Finish()) << peer.Failure();
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(folder.Log().find("Diameter charge OK\r\n"), std::string::npos) << r.err;

    for (const Expect& e : c.keys) {
      EXPECT_EQ(folder.Key(e.section, e.key), e.value) << e.section << " " << e.key;
    }
    const std::string ini = folder.Ini();
    for (const std::string& line : c.lines) EXPECT_NE(ini.find(line), std::string::npos) << line;
    EXPECT_EQ(Lower(ini).find("[quendel]"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("legacy."), std::string::npos) << ini;  // nothing of the legacy keys
    for (const std::string& q : c.shown) EXPECT_NE(r.err.find(q), std::string::npos) << q;
    for (const std::string& q : c.hidden) EXPECT_EQ(r.err.find(q), std::string::npos) << q;
  }
}

}  // namespace
