#pragma once
// What the log says about each frame: the name of its command or reply code and,
// for the replies the tool understands, the meaning of the payload.

#include "decode/vendor_list.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace quintrel {

// The name of a command code sent ("CMD_" and two hex digits for codes without one).
std::string CommandName(std::uint8_t code);
// The name of a code received; any code may arrive, so commands are named too. A few codes
// have an empty name, and codes without one read "RES_" and two hex digits.
std::string ReplyName(std::uint8_t code);

// Name from the command table, then "(" hex payload ")" when there is a payload. The key an
// osdp_KEYSET carries is left out ("SET_KEY(01 10 (16 key bytes hidden))") unless showKeys.
std::string DescribeCommand(std::uint8_t code, const std::uint8_t* payload, std::size_t length,
                            bool showKeys = false);

// A whole frame as hex for the raw log line. An osdp_KEYSET whose data is not encrypted on the
// line has its key bytes left out in the same words unless showKeys.
std::string RawFrameText(const std::uint8_t* frame, std::size_t count, bool showKeys);

// Name from the received-code table, then "(" decoded data ")" when there is data.
// The identification decoder may change mfgId (the maker's vendor code).
std::string DescribeReply(std::uint8_t code, const std::uint8_t* data, std::size_t length,
                          const TVendorList& vendors, std::uint32_t& mfgId);

} // namespace quintrel
