#pragma once
// Byte layouts of the EtherNet/IP encapsulation and the CIP requests the tag client sends:
// all fields little-endian.
//   encapsulation header (24 bytes): command u16, length u16 (bytes after the header),
//     session handle u32, status u32, sender context 8 bytes, options u32
//   RegisterSession 0x65: protocol version 1 u16, option flags 0 u16
//   SendRRData 0x6F: interface handle u32 0, timeout u16, item count 2,
//     null address item (0x0000, length 0), unconnected data item (0x00B2, length, CIP request)
//   Read Tag 0x4C: service, path size in words, symbolic path, element count u16
//   Read Tag Fragmented 0x52: as Read Tag, then the byte offset u32
//   Unconnected Send 0x52 to the Connection Manager (class 6, instance 1): tick, time-out ticks,
//     request size u16, request, pad to even, route size in words, reserved 0, route path
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace eip::codec {

using Bytes = std::vector<uint8_t>;

inline constexpr uint16_t kCmdRegisterSession = 0x65;
inline constexpr uint16_t kCmdUnregisterSession = 0x66;
inline constexpr uint16_t kCmdSendRRData = 0x6F;
inline constexpr uint16_t kItemNullAddress = 0x0000;
inline constexpr uint16_t kItemUnconnectedData = 0x00B2;
inline constexpr uint8_t kSvcReadTag = 0x4C;
inline constexpr uint8_t kSvcReadTagFragmented = 0x52;
inline constexpr uint8_t kSvcUnconnectedSend = 0x52;
inline constexpr uint8_t kStatusPartial = 0x06;
inline constexpr size_t kHeaderSize = 24;
inline constexpr uint16_t kDefaultPort = 44818;

void putU16(Bytes& b, uint16_t v);
void putU32(Bytes& b, uint32_t v);
uint16_t getU16(const uint8_t* p);
uint32_t getU32(const uint8_t* p);

// Symbolic request path of a tag name: an ANSI symbol segment (0x91) per dotted part, padded to
// even length, and an element segment per index (0x28 up to 255, 0x29 up to 65535, else 0x2A).
// False for an empty name, an empty part, a character outside [A-Za-z0-9_:] in a part, a part
// longer than 255 bytes, or a malformed index.
bool encodeTagPath(std::string_view name, Bytes& out);

// Route path "port,link[,port,link...]": a numeric link 0..255 gives the port segment
// (port, link); a link with a dot gives an extended link segment (port | 0x10, length,
// address, pad). Ports 1..14. False for anything else (odd count, empty piece, > 8 pairs).
bool encodeRoutePath(std::string_view text, Bytes& out);

// The 24-byte header followed by data.
Bytes encapsulate(uint16_t command, uint32_t session, uint64_t context, const Bytes& data);
Bytes registerSession();
// SendRRData frame carrying one unconnected CIP request.
Bytes sendRRData(uint32_t session, uint64_t context, const Bytes& cip);

// Read Tag (offset < 0) or Read Tag Fragmented (offset >= 0).
Bytes readTagRequest(const Bytes& path, uint16_t count, int64_t offset);
// The request wrapped in Unconnected Send along route.
Bytes unconnectedSend(const Bytes& request, const Bytes& route);

struct Header {
    uint16_t command = 0;
    uint16_t length = 0;
    uint32_t session = 0;
    uint32_t status = 0;
    uint64_t context = 0;
};
Header parseHeader(const uint8_t* p);

// The CIP reply inside a SendRRData reply's data (the bytes after the 24-byte header): the
// unconnected data item. False when the items are malformed or no such item is present.
bool unconnectedReply(const uint8_t* data, size_t size, Bytes& cip);

struct CipReply {
    uint8_t service = 0;
    uint8_t status = 0;
    uint16_t typeCode = 0;
    Bytes data;  // value bytes after the type code
};
// A Read Tag or Read Tag Fragmented reply. With status 0 or 0x06 the type code (two bytes, four
// for a structure 0x02A0) and the data follow. False when the reply is too short to be one.
bool parseReadReply(const Bytes& cip, CipReply& out);

}  // namespace eip::codec
