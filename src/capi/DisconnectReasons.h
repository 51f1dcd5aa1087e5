// What became of a sent text, by the Reason of the DISCONNECT_IND that
// cleared its call (ETS 300 838, 0x34xx = Q.850 cause): one table for the
// window's delivery report and for zoemlijn-cli send.
#pragma once

#include <cstdint>
#include <string>

namespace capi {

struct DisconnectReasonRow
{
    uint16_t reason;
    bool delivered;
    // The window's log line.
    const char* report;
    // zoemlijn-cli send's words, and what it adds after the code in
    // brackets; no words: the row is the window's only, the command-line
    // tool says what it says of any other reason.
    const char* cliWords;
    const char* cliNote;
};

// The row of `reason`, or nullptr.
const DisconnectReasonRow* FindDisconnectReason(uint16_t reason);

// The report line for `reason`: its row's, or "Niet afgeleverd (0x%04X)".
std::string DeliveryReport(uint16_t reason);

} // namespace capi
