// The charge: one Credit-Control-Request per `diameter` element of the credit-control template,
// judged by the answers' Result-Codes.
#pragma once

#include <cstdint>

#include "message/placeholders.h"

// 1 when the charge was accepted. Runs while the caller holds the connection lock.
int SendCharge(const char* sender, const char* recip, uint32_t messageSize, const char* sgsnMccMnc,
               const char* sgsnAddress, const char* vaspId, uint32_t timeoutSeconds);

// Fills the eleven slots of a zero-filled record for one charge: Session-Id, time stamp since
// 1900, the addresses without a leading "+" and their types (0 for an address with "@", 1
// otherwise), the time zone, the SGSN values, the message size and the VASP id (left empty when
// vaspId is nullptr).
void FillRequestValues(RequestValues* values, const char* sender, const char* recip,
                       uint32_t messageSize, const char* sgsnMccMnc, const char* sgsnAddress,
                       const char* vaspId);
// Releases the slots and the record; nullptr is allowed.
void FreeRequestValues(RequestValues* values);

// Builds the request of the next `diameter` element from *cursor on, which then stands after
// that element's AVPs: its command code (272 when absent or 0) and application id (4 when absent
// or empty), fresh identifiers, the AVPs filled from values. resultCodeOk (kAttributeSize bytes)
// receives the element's list of accepted codes, "2001" when it gives none. 1 with *message set
// (nullptr when the heap ran out) and *hopByHop the request's Hop-by-Hop Identifier; 0 when no
// element is left.
int BuildNextChargeRequest(const char** cursor, RequestValues* values, char* resultCodeOk,
                           uint32_t* hopByHop, ByteBuffer** message);
