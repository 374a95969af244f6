#pragma once
// A small EtherNet/IP explicit-messaging client for reading controller tags.
//
// A tag is created from an attribute text of '&'-separated key=value pairs:
//   protocol=ab_eip          the only protocol served
//   gateway=<host>[:<port>]  the controller or its communication module (port 44818 by default)
//   path=<port>,<link>,...   optional route path: port/link pairs; a link that holds a dot is an
//                            address (extended link segment), otherwise a number 0..255
//   cpu=<text>               the controller family; accepted, the framing does not depend on it
//   elem_size=<bytes>        size of one element (1..8)
//   elem_count=<n>           number of elements read (1..4096, default 1)
//   name=<tag>               symbolic name: dotted parts, each optionally indexed "[i]" / "[i,j]"
// Every tag of one gateway and path shares one session (RegisterSession, then unconnected
// SendRRData requests, wrapped in Unconnected Send when a path is given), served by one worker
// thread per session. create() and read() never block on the network with a zero timeout: their
// outcome is seen later through status().
//
// Status codes: OK (0), PENDING (1), or one of the negative errors below (decode_error names them).
// A session that fails makes reads fail at once; the worker tries to reconnect at most once per
// reconnect interval (5 s) while tags use it. A reply must arrive within the reply timeout (5 s);
// a missing one closes the session.
#include <chrono>
#include <cstdint>
#include <optional>

namespace eip {

inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_PENDING = 1;

inline constexpr int ERR_BAD_PARAM = -1;      // attribute text refused
inline constexpr int ERR_NOT_FOUND = -2;      // no tag with this handle
inline constexpr int ERR_BAD_GATEWAY = -3;    // gateway address cannot be resolved
inline constexpr int ERR_NO_CONNECTION = -4;  // session not established
inline constexpr int ERR_TIMEOUT = -5;        // no reply in time
inline constexpr int ERR_BAD_REPLY = -6;      // malformed reply
inline constexpr int ERR_TOO_SHORT = -7;      // reply holds fewer bytes than the tag
inline constexpr int ERR_NO_TAG = -8;         // the controller does not know the tag
inline constexpr int ERR_REMOTE = -9;         // the controller or a router refused the request
inline constexpr int ERR_BUSY = -10;          // a read of this tag is still in progress
inline constexpr int ERR_OUT_OF_BOUNDS = -11;  // byte offset outside the tag data
inline constexpr int ERR_IO = -12;            // connection lost while talking

// Text of a status code.
const char* decode_error(int code);

// A handle (> 0) or a negative error. timeoutMs > 0 waits up to that long for the session.
int32_t create(const char* attributes, int timeoutMs);
int status(int32_t handle);
// Starts a read; PENDING, or an error at once. timeoutMs > 0 waits up to that long for the end.
int read(int32_t handle, int timeoutMs);
// Removes the tag; the session ends with its last tag. OK or ERR_NOT_FOUND.
int destroy(int32_t handle);
// Bytes of the last completed read (0 before the first one).
int size(int32_t handle);

// Little-endian values at a byte offset of the last completed read; empty when out of bounds
// or the handle is unknown.
std::optional<int8_t> get_int8(int32_t handle, int offset);
std::optional<uint8_t> get_uint8(int32_t handle, int offset);
std::optional<int16_t> get_int16(int32_t handle, int offset);
std::optional<uint16_t> get_uint16(int32_t handle, int offset);
std::optional<int32_t> get_int32(int32_t handle, int offset);
std::optional<uint32_t> get_uint32(int32_t handle, int offset);
std::optional<int64_t> get_int64(int32_t handle, int offset);
std::optional<uint64_t> get_uint64(int32_t handle, int offset);
std::optional<float> get_float32(int32_t handle, int offset);
std::optional<double> get_float64(int32_t handle, int offset);

struct Timing {
    std::chrono::milliseconds reply{5000};
    std::chrono::milliseconds reconnect{5000};
};
// Test-only: shorter waits. Applies to sessions created afterwards and to later waits.
void setTimingForTest(const Timing& timing);
Timing timing();

}  // namespace eip
