// The run sequence: template check, settings and questions, banner, peer thread, the one charge
// and its verdict, and the orderly stop.
#include "app/run_sequence.h"

#include <cstdio>

#include "app/log.h"
#include "app/prompts.h"
#include "app/settings.h"
#include "charge/charge.h"
#include "message/template_cache.h"
#include "peer/peer_thread.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t kReadySeconds = 10;
constexpr uint32_t kChargeMessageSize = 32768;
constexpr uint32_t kChargeAnswerSeconds = 5;
constexpr uint32_t kStopPollMs = 1;
constexpr size_t kConsoleLineSize = 512;

// Writes the fatal message for a template that cannot be read, on the console only (the run has
// not begun, so nothing of it reaches the log). 1 when the template is readable.
int TemplateReadable(const char* text, const char* name) {
  if (text != nullptr) return 1;
  char line[kConsoleLineSize];
  snprintf(line, sizeof line, "Unable to access Diameter template file %s\a\r\n", name);
  platform::ConsoleWrite(line);
  return 0;
}

void WriteBanner() {
  platform::LocalTimeOfDay now;
  platform::LocalTime(&now);
  char banner[kConsoleLineSize];
  snprintf(banner, sizeof banner,
           "========================\r\nVersion %s\r\nStarting at %02u:%02u:%02u:%03u\r\n"
           "========================\r\n\r\n",
           kVersionText, now.hour, now.minute, now.second, now.millisecond);
  LogWrite(banner);
}

}  // namespace

int RunSequence() {
  // Starting: the capabilities template is tried first, so with both missing only its name shows.
  if (!TemplateReadable(GetCapabilitiesTemplate(), kCapabilitiesTemplateName)) return kExitFatal;
  if (!TemplateReadable(GetCreditControlTemplate(), kCreditControlTemplateName)) return kExitFatal;

  // Configuring: console only.
  LoadSettings();
  const char* missingKey = nullptr;
  if (!PromptOperator(&missingKey)) {
    // Asking again would never end: the input is gone. Nothing has been logged or sent.
    char line[kConsoleLineSize];
    snprintf(line, sizeof line,
             "\r\nUnable to continue: standard input ended while %s still needs an answer\r\n",
             missingKey);
    platform::ConsoleWrite(line);
    return kExitFatal;
  }
  CompleteSettings();

  // Running.
  WriteBanner();
  if (!platform::LockCreate(&ConnectionLock)) {
    LogWrite("Unable to create the Diameter connection lock, no charge sent\r\n");
    return kExitOk;
  }
  if (!platform::StartThread(PeerThread)) {
    // Without the peer thread nothing would ever set ThreadFinished: no wait, no charge.
    LogWrite("Unable to start the Diameter peer thread, no charge sent\r\n");
    platform::LockDelete(&ConnectionLock);
    return kExitOk;
  }
  if (WaitForDiameterReady(kReadySeconds)) {
    int accepted = SendCharge(Settings.SenderAddress, Settings.RecipAddress, kChargeMessageSize,
                              Settings.SGSNMCCMNC, Settings.SGSNAddress, Settings.VASPID,
                              kChargeAnswerSeconds);
    LogWrite(accepted ? "Diameter charge OK\r\n" : "Diameter charge FAILED\r\n");
    ReleaseDiameterConnection();
  }

  // Stopping.
  PeerState.StopRequested = 1;
  while (PeerState.ThreadFinished == 0) platform::SleepMilliseconds(kStopPollMs);
  platform::LockDelete(&ConnectionLock);
  return kExitOk;
}
