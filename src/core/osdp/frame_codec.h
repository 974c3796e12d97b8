#pragma once
// Turns a request into the bytes of one command frame, and checks a received
// frame and cuts it into its fields. The per-address state it reads and writes
// (sequence number, secure session) is passed in by the engine.

#include "osdp/types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quintrel {

struct TEncodeResult {
    bool Ok = false;
    const char* Error = "";
    std::size_t Length = 0;     // LEN: the frame without the leading 0xFF mark byte
    std::uint8_t ScbLength = 0; // the block as sent (an open session may have replaced it)
    std::uint8_t ScbType = 0;
};

// Builds the frame into tx (kFrameBufferSize bytes). device is the record of the
// request's address, or nullptr for the broadcast address, which has no record:
// a broadcast frame carries sequence 0 and is never protected. A request whose
// frame would not fit the buffer, or whose security block is malformed, is refused
// with nothing written past the buffer and no device state changed.
// With reply set the frame is built as a device builds its answer: the address
// carries the reply bit and an open session protects it as 0x16 or 0x18.
TEncodeResult EncodeFrame(const TOsdpRequest& request, TDeviceState* device, bool useCrc,
                          std::uint8_t* tx, bool reply = false);

// The length the frame of this request would have now (0 when its security block is
// malformed), so a caller can refuse a request that will not fit before queueing it.
std::size_t EncodedLength(const TOsdpRequest& request, const TDeviceState* device, bool useCrc);

struct TDecodedFrame {
    bool Valid = false;
    const char* Error = ""; // "crc error", "cksum error", "" for a MAC mismatch, or a layout fault
    std::uint8_t Address = 0; // reply bit removed
    std::uint8_t Ctrl = 0;
    std::array<std::uint8_t, kScbAreaSize> Scb{}; // zero when the frame has no block
    std::uint8_t Code = 0;
    std::size_t DataStart = 0;
    std::size_t DataLength = 0; // after MAC removal, decryption and padding removal
    // Layout and check bytes passed: the frame is what the device sent, even if its
    // security then failed.
    bool Intact = false;

    std::uint8_t ScbLength() const { return Scb[0]; }
    std::uint8_t ScbType() const { return Scb[1]; }
    bool HasBlock() const { return Scb[0] != 0; }
};

// Address, control byte, security block and code, as far as the bytes allow; used
// by the engine to filter the raw log line before the frame is checked.
TDecodedFrame PeekFrame(const std::uint8_t* frame, std::size_t count);

// The frame's layout, its LEN (equal to count, within the buffer) and its check bytes (CRC or
// checksum, as its control byte says) hold, without looking at any session: what a frame must
// pass before anyone acts on it.
bool CheckBytesHold(const std::uint8_t* frame, std::size_t count);

// Checks a complete frame of count bytes (count must equal its LEN field) and, for
// a protected reply, verifies its MAC and decrypts its data in place. An open
// session ends here, once the check bytes have passed, on unprotected data or a MAC
// that does not match; a protected frame outside an open session is invalid. A frame
// that fails its layout or check bytes touches no session, and neither does anything
// during a handshake: whether a reply ends a handshake depends on what it answers,
// which only the caller knows. Replies from the broadcast address touch no record.
// A reply may carry a CRC or a checksum, except that a device that has answered a CRC
// command with a CRC fails with "crc error" when it brings a checksum (see RepliesWithCrc).
// devices holds the kDeviceCount records of addresses 0..126.
TDecodedFrame DecodeFrame(std::uint8_t* frame, std::size_t count, std::span<TDeviceState> devices);
// The same against one record, the one of the frame's address (nullptr: none), so a caller
// can check a frame against a copy of that record alone.
TDecodedFrame DecodeFrame(std::uint8_t* frame, std::size_t count, TDeviceState* record);

} // namespace quintrel
