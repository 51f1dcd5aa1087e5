// The caller's entry at an incoming call. The key, prepared as always, is
// looked up first, so every caller found before is found the same; only
// when nothing matches and "NumberFormats" is on are numbers compared in
// E.164 form, so 0301234567 in the book finds a caller the network sent
// as 31301234567 (international) or 301234567 (national).
#pragma once

#include "NumberMatcher.h"
#include "PhoneBookFile.h"

// `key`: the calling number as the window shows and looks it up (with the
// "0" of "AddZero"); `callingNumber` and `typeOfNumber`: as the link
// delivered them (CCapiLink::CallingNumber and CallingNumberType). Reads
// the "Extra" settings at each call.
PhoneBookEntry LookupCaller(const QString& key, const QString& callingNumber, const QString& typeOfNumber);
// The same with the rules given: for tests and benchmarks.
PhoneBookEntry LookupCaller(const QString& key, const QString& callingNumber, const QString& typeOfNumber,
                            const NumberRules& rules);
