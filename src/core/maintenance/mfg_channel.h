#pragma once
// The maker's maintenance requests, carried inside osdp_MFG, and the records that its
// osdp_MFGREP answers fill: customer codes and their check mode, the last code read,
// and the reader options.

#include "osdp/types.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quintrel {

constexpr std::uint8_t kMfgCommand = 0x80;
constexpr std::uint8_t kMfgReply = 0x90;

enum : std::uint16_t {
    mfcLastCustCode = 0xC9,
    mfcCustCodes = 0xCC,
    mfcCustCodeMode = 0xCE,
    mfcVarFlags = 0xCF,
    mfcEnterBoot = 0xEA,
    mfcResetAll = 0xEF,
};

struct TCustCode {
    std::uint8_t CodeType = 0; // 0: no code
    std::uint16_t Value = 0;
    bool operator==(const TCustCode&) const = default;
};

// Never an entry of type 0, never two equal entries, never more than Capacity.
struct TCustCodeList {
    static constexpr int Capacity = 20;
    std::uint8_t Count = 0;
    bool Modified = false;
    std::array<TCustCode, Capacity> Items{};

    void Clear() { *this = TCustCodeList{}; }
    bool Add(std::uint8_t type, std::uint16_t value);
    int Find(std::uint8_t type, std::uint16_t value) const;
    bool Delete(int index);
};

struct TVarFlags {
    int Flags = 0;        // low 8 bits used
    int IdBitLength = 0;  // -1: not reported
    int RawBitLength = 0; // -1: not reported
};

// One instance for the whole program: what the reader last reported, and what the
// editors changed since.
struct TMaintenanceRecords {
    TCustCodeList CustCodes;
    int CustCodeMode = 0; // -1: not reported
    TCustCode LastCustCode;
    TVarFlags VarFlags;
};

// A zeroed osdp_MFG request to address with the vendor code (most significant byte
// first) and the sub-command (two bytes, big-endian, from 256 on). Returns the cursor
// after them, where the sub-command's data goes.
std::uint8_t* BuildMfgRequest(TOsdpRequest& request, std::uint32_t mfgId, std::uint8_t address,
                              std::uint16_t subCommand);

TOsdpRequest ReadLastCustCode(std::uint32_t mfgId, std::uint8_t address);
TOsdpRequest ReadCustCodes(std::uint32_t mfgId, std::uint8_t address);
TOsdpRequest WriteCustCodes(std::uint32_t mfgId, std::uint8_t address, const TCustCodeList& codes);
// Also forgets the mode read before, so a missing answer leaves it unknown (-1).
TOsdpRequest ReadCustCodeMode(std::uint32_t mfgId, std::uint8_t address,
                              TMaintenanceRecords& records);
TOsdpRequest WriteCustCodeMode(std::uint32_t mfgId, std::uint8_t address, int mode);
TOsdpRequest ReadVarFlags(std::uint32_t mfgId, std::uint8_t address);
// The flags byte; the ID bit length if reported; the raw bit length if both are.
TOsdpRequest WriteVarFlags(std::uint32_t mfgId, std::uint8_t address, const TVarFlags& flags);
// The password's characters, one byte each, no length and no terminator.
TOsdpRequest EnterBootloader(std::uint32_t mfgId, std::uint8_t address,
                             const std::string& password);

// The data of a valid osdp_MFGREP. Replies shorter than 4 bytes, with another maker's
// prefix or an unknown sub-code change nothing; a customer-code list whose length does
// not match its count leaves the list empty.
void HandleMfgReply(TMaintenanceRecords& records, const std::uint8_t* data, std::size_t length);

} // namespace quintrel
