// The charge: one Credit-Control-Request per `diameter` element of the credit-control template,
// judged by the answers' Result-Codes.
#pragma once

#include <cstdint>

#include "message/placeholders.h"

// 1 when the charge was accepted. Runs while the caller holds the connection lock.
int SendCharge(const char* sender, const char* recip, uint32_t messageSize, const char* sgsnMccMnc,
               const char* sgsnAddress, const char* vaspId, uint32_t timeoutSeconds);
void FreeRequestValues(RequestValues* values);
