#include "maintenance/mfg_channel.h"

#include "osdp/bytes.h"

namespace quintrel {

namespace {

// The maker's vendor code as its readers answer it; the third byte is not compared.
constexpr std::uint8_t kMakerPrefix0 = 0x7C;
constexpr std::uint8_t kMakerPrefix1 = 0x4E;

TOsdpRequest Simple(std::uint32_t mfgId, std::uint8_t address, std::uint16_t subCommand) {
    TOsdpRequest r;
    r.SetPayloadEnd(BuildMfgRequest(r, mfgId, address, subCommand));
    return r;
}

} // namespace

bool TCustCodeList::Add(std::uint8_t type, std::uint16_t value) {
    if (Count >= Capacity || type == 0 || Find(type, value) >= 0) return false;
    Items[Count++] = TCustCode{type, value};
    return true;
}

int TCustCodeList::Find(std::uint8_t type, std::uint16_t value) const {
    for (int i = 0; i < Count; ++i)
        if (Items[i] == TCustCode{type, value}) return i;
    return -1;
}

bool TCustCodeList::Delete(int index) {
    if (index < 0 || index >= Count) return false;
    for (int i = index; i + 1 < Count; ++i)
        Items[i] = Items[i + 1];
    Items[--Count] = TCustCode{};
    return true;
}

std::uint8_t* BuildMfgRequest(TOsdpRequest& request, std::uint32_t mfgId, std::uint8_t address,
                              std::uint16_t subCommand) {
    request = TOsdpRequest{};
    request.Command = kMfgCommand;
    request.Address = address;
    std::uint8_t* cursor = request.PayloadStart();
    PutByte(cursor, static_cast<std::uint8_t>(mfgId >> 16));
    PutWord(cursor, static_cast<std::uint16_t>(mfgId), true);
    if (subCommand > 0xFF)
        PutWord(cursor, subCommand, true);
    else
        PutByte(cursor, static_cast<std::uint8_t>(subCommand));
    return cursor;
}

TOsdpRequest ReadLastCustCode(std::uint32_t mfgId, std::uint8_t address) {
    return Simple(mfgId, address, mfcLastCustCode);
}

TOsdpRequest ReadCustCodes(std::uint32_t mfgId, std::uint8_t address) {
    return Simple(mfgId, address, mfcCustCodes);
}

TOsdpRequest WriteCustCodes(std::uint32_t mfgId, std::uint8_t address, const TCustCodeList& codes) {
    TOsdpRequest r;
    std::uint8_t* cursor = BuildMfgRequest(r, mfgId, address, mfcCustCodes);
    PutByte(cursor, codes.Count);
    for (int i = 0; i < codes.Count; ++i) {
        PutByte(cursor, codes.Items[i].CodeType);
        PutWord(cursor, codes.Items[i].Value, true);
    }
    r.SetPayloadEnd(cursor);
    return r;
}

TOsdpRequest ReadCustCodeMode(std::uint32_t mfgId, std::uint8_t address,
                              TMaintenanceRecords& records) {
    records.CustCodeMode = -1;
    return Simple(mfgId, address, mfcCustCodeMode);
}

TOsdpRequest WriteCustCodeMode(std::uint32_t mfgId, std::uint8_t address, int mode) {
    TOsdpRequest r;
    std::uint8_t* cursor = BuildMfgRequest(r, mfgId, address, mfcCustCodeMode);
    PutByte(cursor, static_cast<std::uint8_t>(mode));
    r.SetPayloadEnd(cursor);
    return r;
}

TOsdpRequest ReadVarFlags(std::uint32_t mfgId, std::uint8_t address) {
    return Simple(mfgId, address, mfcVarFlags);
}

TOsdpRequest WriteVarFlags(std::uint32_t mfgId, std::uint8_t address, const TVarFlags& flags) {
    TOsdpRequest r;
    std::uint8_t* cursor = BuildMfgRequest(r, mfgId, address, mfcVarFlags);
    PutByte(cursor, static_cast<std::uint8_t>(flags.Flags));
    if (flags.IdBitLength >= 0) {
        PutByte(cursor, static_cast<std::uint8_t>(flags.IdBitLength));
        if (flags.RawBitLength >= 0) PutByte(cursor, static_cast<std::uint8_t>(flags.RawBitLength));
    }
    r.SetPayloadEnd(cursor);
    return r;
}

TOsdpRequest EnterBootloader(std::uint32_t mfgId, std::uint8_t address,
                             const std::string& password) {
    TOsdpRequest r;
    std::uint8_t* cursor = BuildMfgRequest(r, mfgId, address, mfcEnterBoot);
    // A password longer than a frame can carry is cut at the payload's end.
    const std::size_t room = kPayloadCapacity - static_cast<std::size_t>(cursor - r.PayloadStart());
    const std::size_t n = password.size() < room ? password.size() : room;
    PutBytes(cursor, static_cast<int>(n), reinterpret_cast<const std::uint8_t*>(password.data()));
    r.SetPayloadEnd(cursor);
    r.SendOnce = true; // a reader that takes it answers in its bootloader's tongue, or not at all
    return r;
}

void HandleMfgReply(TMaintenanceRecords& records, const std::uint8_t* data, std::size_t length) {
    if (length < 4 || data[0] != kMakerPrefix0 || data[1] != kMakerPrefix1) return;
    const std::uint8_t* rest = data + 4;
    const std::size_t n = length - 4;
    switch (data[3]) {
    case mfcLastCustCode:
        if (n >= 3)
            records.LastCustCode =
                TCustCode{rest[0], static_cast<std::uint16_t>(rest[1] << 8 | rest[2])};
        break;
    case mfcCustCodes: {
        records.CustCodes.Clear();
        if (n < 1) break;
        const std::size_t count = rest[0];
        if (n - 1 != 3 * count) break;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* g = rest + 1 + 3 * i;
            records.CustCodes.Add(g[0], static_cast<std::uint16_t>(g[1] << 8 | g[2]));
        }
        break;
    }
    case mfcCustCodeMode:
        if (n >= 1) records.CustCodeMode = rest[0];
        break;
    case mfcVarFlags:
        records.VarFlags = TVarFlags{0, -1, -1};
        if (n >= 1) records.VarFlags.Flags = rest[0];
        if (n >= 2) records.VarFlags.IdBitLength = rest[1];
        if (n >= 3) records.VarFlags.RawBitLength = rest[2];
        break;
    default:
        break;
    }
}

} // namespace quintrel
