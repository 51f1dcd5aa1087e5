#include "DisconnectReasons.h"

#include "CapiDefs.h"

#include <cstdio>

namespace capi {

namespace {

constexpr uint16_t ReasonNoRouteToNetwork = 0x3482; // cause 2
constexpr uint16_t ReasonInvalidNumberFormat = 0x349c; // cause 28

// A receiving Zoemlijn rejects every call it takes a text from with
// Reject 5, which the caller hears as facility rejected.
constexpr DisconnectReasonRow kRows[] = {
    {ReasonFacilityRejected, true, "Afgeleverd", "afgeleverd: de ontvanger weigerde de oproep", "facility rejected"},
    {ReasonUserBusy, false, "Niet afgeleverd: in gesprek", "niet afgeleverd: in gesprek", nullptr},
    {ReasonNoUserResponding, false, "Niet afgeleverd: geen antwoord", "niet afgeleverd: niemand luistert op dit nummer",
     nullptr},
    {ReasonNoAnswer, false, "Niet afgeleverd: geen antwoord", nullptr, nullptr},
    {ReasonUnallocatedNumber, false, "Niet afgeleverd: nummer onbekend", "niet afgeleverd: dit nummer bestaat niet",
     nullptr},
    {ReasonNoRouteToNetwork, false, "Niet afgeleverd: nummer onbekend", nullptr, nullptr},
    {ReasonInvalidNumberFormat, false, "Niet afgeleverd: nummer onbekend", nullptr, nullptr},
};

} // namespace

const DisconnectReasonRow* FindDisconnectReason(uint16_t reason)
{
    for (const DisconnectReasonRow& row : kRows)
        if (row.reason == reason)
            return &row;
    return nullptr;
}

std::string DeliveryReport(uint16_t reason)
{
    if (const DisconnectReasonRow* row = FindDisconnectReason(reason))
        return row->report;
    char text[40];
    std::snprintf(text, sizeof text, "Niet afgeleverd (0x%04X)", unsigned(reason));
    return text;
}

} // namespace capi
