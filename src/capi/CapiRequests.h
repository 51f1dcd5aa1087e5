// Encoders for every message the link composes. Each writes into a cleared
// buffer of kMessageBufferSize octets and returns the message length, or 0
// when it refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace capi {

constexpr size_t kMessageBufferSize = 212;
// Longest number or text the composer takes (a 56-octet working buffer,
// zero-terminated).
constexpr size_t kMaxFieldLength = 55;
// Reject value of every CONNECT_RESP: facility rejected.
constexpr uint16_t kRejectFacility = 5;

// LISTEN_REQ, 26 octets:
//   0  u16 length 26
//   2  u16 application id
//   4  u8  0x05, u8 0x80
//   6  u16 message number 0
//   8  u32 controller
//  12  u32 Info mask 0
//  16  u32 CIP mask 0x00000001 (every service)
//  20  u32 CIP mask 2: 0
//  24  struct Calling party number: empty
//  25  struct Calling party subaddress: empty
size_t EncodeListenReq(uint8_t* buffer, uint16_t applId, uint32_t address);

// CONNECT_REQ, 25 + N + T octets (N = number length, T = text length):
//   0      u16 length
//   2      u16 application id
//   4      u8  0x02, u8 0x80
//   6      u16 message number 0
//   8      u32 controller / PLCI / NCCI
//  12      u16 CIP value
//  14      struct Called party number: N + 1, 0x81, each character mod 64
//  16+N    struct Calling party number: empty
//  17+N    struct Called party subaddress: empty
//  18+N    struct Calling party subaddress: T + 1, 0x81, the text's octets
//  20+N+T  structs B protocol, BC, LLC, HLC, Additional Info: empty
// Refuses (returns 0) a number or text longer than kMaxFieldLength.
size_t EncodeConnectReq(uint8_t* buffer, uint16_t applId, uint32_t address, uint16_t cip,
                        std::string_view number, std::string_view text);

// The answers the dispatcher sends, by code, with these parameters after the
// address:
//   CONNECT_RESP (0x8302, 19)           u16 Reject 5; five empty structs
//   CONNECT_ACTIVE_RESP (0x8303, 12)    none
//   DISCONNECT_RESP (0x8304, 12)        none
//   INFO_RESP (0x8308, 14)              two zero octets
//   CONNECT_B3_REQ (0x8082, 13)         NCPI empty
//   CONNECT_B3_RESP (0x8382, 15)        u16 Reject 0; NCPI empty
//   CONNECT_B3_ACTIVE_RESP (0x8383, 12) none
//   DISCONNECT_B3_RESP (0x8384, 12)     none
//   DATA_B3_RESP (0x8386, 14)           u16 data handle of the DATA_B3_IND
//   RESET_B3_RESP (0x8387, 14)          two zero octets
// Returns 0 for any other code.
size_t EncodeSubmitMessage(uint8_t* buffer, uint16_t code, uint16_t applId, uint32_t address,
                           uint16_t dataHandle = 0);

} // namespace capi
