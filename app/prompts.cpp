// The operator's questions: the 21 values of a run, asked on the console and written back at once.
#include "app/prompts.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/settings.h"
#include "app/startup.h"
#include "platform/console.h"
#include "platform/profile.h"

namespace {

constexpr char kRequiredReminder[] = "This field is required\r\n";
constexpr char kMoneyReminder[] =
    "CC-Money is too large: its digits, read as one number without the decimal point, must not "
    "exceed 2147483647. Type a smaller amount, or a blank to send none.\r\n";

enum class Kind {
  kRequired,  // trimmed; asked again while the field is empty
  kOptional,  // trimmed; an empty field deletes its key
  kVerbatim,  // as kOptional, but the answer is kept as typed, leading blanks included
  kMoney,     // as kOptional, and the amount's digits must fit a signed 32-bit value
};

struct TextQuestion {
  const char* format;
  Kind kind;
  const char* key;
  const char* section;
  char* field;
};

struct PromptState {
  int inputEnded;  // standard input has ended: every later answer is the Enter answer
  char answer[kAnswerSize];
};

PromptState prompt;

void ShowQuestion(const char* format, const char* value) {
  char question[kQuestionSize];
  snprintf(question, sizeof question, format, value);
  platform::ConsoleWrite(question);
}

// Reads one answer line into prompt.answer; the empty answer once the input has ended.
void ReadAnswer() {
  prompt.answer[0] = '\0';
  if (prompt.inputEnded) return;
  if (!platform::ConsoleReadLine(prompt.answer, sizeof prompt.answer)) {
    prompt.inputEnded = 1;
    prompt.answer[0] = '\0';
  }
}

// An answer goes into a field cut to the field's room, as a value read from the file would be.
void StoreAnswer(char* field, const char* text) {
  snprintf(field, kSettingTextSize, "%s", text);
}

int MoneyFits(const char* text) {
  int32_t digits = 0;
  int32_t exponent = 0;
  return ParseMoneyAmount(text, &digits, &exponent);
}

// One text question. 0 when the input ended and the field still lacks an acceptable value.
int AskText(const TextQuestion& q) {
  for (;;) {
    ShowQuestion(q.format, q.field);
    ReadAnswer();
    const char* typed = prompt.answer;
    if (q.kind == Kind::kMoney) {
      const char* candidate = typed[0] != '\0' ? SkipSpaces(typed) : q.field;
      if (!MoneyFits(candidate)) {
        // The amount is refused; the field keeps the value shown, and the question comes again.
        platform::ConsoleWrite(kMoneyReminder);
        if (prompt.inputEnded) return 0;
        continue;
      }
    }
    if (typed[0] != '\0')
      StoreAnswer(q.field, q.kind == Kind::kVerbatim ? typed : SkipSpaces(typed));
    if (q.kind == Kind::kRequired) {
      if (q.field[0] == '\0') {
        platform::ConsoleWrite(kRequiredReminder);
        if (prompt.inputEnded) return 0;
        continue;
      }
      WriteSetting(q.section, q.key, q.field, 0);
    } else {
      WriteSetting(q.section, q.key, q.field, 1);
    }
    return 1;
  }
}

// One yes/no question about an extension-set flag, whose answers live in the message section.
void AskYesNo(const char* format, const char* key, int32_t* flag) {
  ShowQuestion(format, *flag ? "Y" : "N");
  ReadAnswer();
  if (prompt.answer[0] != '\0') {
    char typed[kSettingTextSize];
    StoreAnswer(typed, prompt.answer);
    *flag = IsTruthy(typed);
    platform::ProfileWriteString(kMessageSection, key, typed, SettingsFilePath);
    platform::ProfileWriteString(kMainSection, key, nullptr, SettingsFilePath);
    return;
  }
  // Enter keeps the flag. Its text belongs in the message section: when it was loaded from the
  // main section, it is carried over first, so that deleting it there loses nothing.
  char loaded[kFlagReadSize];
  platform::ProfileReadString(kMessageSection, key, "", loaded, sizeof loaded, SettingsFilePath);
  if (loaded[0] == '\0') {
    platform::ProfileReadString(kMainSection, key, "", loaded, sizeof loaded, SettingsFilePath);
    if (loaded[0] == '\0') return;  // neither section holds the flag
    platform::ProfileWriteString(kMessageSection, key, loaded, SettingsFilePath);
  }
  platform::ProfileWriteString(kMainSection, key, nullptr, SettingsFilePath);
}

}  // namespace

int PromptOperator(const char** missingKey) {
  prompt.inputEnded = 0;
  *missingKey = nullptr;
  SettingsRecord& s = Settings;
  const TextQuestion server[] = {
      {"(Remote) Diameter Server Host Name or IP Address [%s]: ", Kind::kRequired,
       "Destination-Host-Address", kMainSection, s.DestinationHostAddress},
      {"(Remote) Diameter Server Port Number [%s]: ", Kind::kRequired,
       "Destination-Host-Port-Number", kMainSection, s.DestinationHostPortNumber},
      {"(Remote) Diameter Destination-Realm [%s]: ", Kind::kRequired, "Destination-Realm",
       kMainSection, s.DestinationRealm},
      {"(Local/Origin) Diameter Host-IP-Address [%s]: ", Kind::kRequired, "Host-IP-Address",
       kMainSection, s.HostIPAddress},
      {"(Local) Diameter Origin-Host [%s]: ", Kind::kRequired, "Origin-Host", kMainSection,
       s.OriginHost},
      {"(Local) Diameter Origin-Realm [%s]: ", Kind::kRequired, "Origin-Realm", kMainSection,
       s.OriginRealm},
      {"Service-Context-Id (optional) [%s]: ", Kind::kOptional, "Service-Context-Id", kMainSection,
       s.ServiceContextId},
      {"Service-Identifier (optional) [%s] : ", Kind::kOptional, "Service-Identifier", kMainSection,
       s.ServiceIdentifier},
      {"Requested-Service-Unit CC-Service-Specific-Units (optional, leave black for standard "
       "MM9) [%s] : ",
       Kind::kOptional, "CC-Service-Specific-Units", kMainSection, s.CCServiceSpecificUnits},
      {"Requested-Service-Unit CC-Money (optional, use decimal format 1.23) [%s] : ", Kind::kMoney,
       "CC-Money", kMainSection, s.CCMoney},
      {"Requested-Service-Unit Currency-Code (optional, use ISO 4217 currency code) [%s] : ",
       Kind::kOptional, "Currency-Code", kMainSection, s.CurrencyCode},
      {"MMS Sender Phone Number [%s]: ", Kind::kRequired, "SenderAddress", kMessageSection,
       s.SenderAddress},
      {"MMS Recipient Phone Number [%s]: ", Kind::kRequired, "RecipAddress", kMessageSection,
       s.RecipAddress},
      {"SGSN-MCC-MNC (optional) [%s]: ", Kind::kOptional, "SGSN-MCC-MNC", kMessageSection,
       s.SGSNMCCMNC},
      {"SGSN-Address (optional) [%s]: ", Kind::kVerbatim, "SGSN-Address", kMessageSection,
       s.SGSNAddress},
      {"VASPID (optional) [%s]: ", Kind::kVerbatim, "VASPID", kMessageSection, s.VASPID},
  };
  const TextQuestion scap[] = {
      {"Ericsson SCAP Service-Provider-Id (optional) [%s] : ", Kind::kOptional,
       "Service-Provider-Id", kMainSection, s.ServiceProviderId},
      {"Ericsson SCAP Subscription-Id-Location (optional) [%s] : ", Kind::kOptional,
       "Subscription-Id-Location", kMainSection, s.SubscriptionIdLocation},
  };

  for (const TextQuestion& q : server) {
    if (!AskText(q)) {
      *missingKey = q.key;
      return 0;
    }
  }
  AskYesNo("Enable Ericsson SCAP Extension Set? (Y/N) [%s]: ", "IncludeSCAPParameters",
           &s.IncludeSCAPParameters);
  if (s.IncludeSCAPParameters) {
    for (const TextQuestion& q : scap) AskText(q);  // optional: never refused
  } else {
    AskYesNo("Enable 3GPPTIMEZONE Extension Set? (Y/N) [%s]: ", "Include3GPPMSTimeZone",
             &s.Include3GPPMSTimeZone);
  }
  AskYesNo("Enable 3GPP Extension Set? (Y/N) [%s]: ", "Include3GPPMMSInformation",
           &s.Include3GPPMMSInformation);
  return 1;
}
