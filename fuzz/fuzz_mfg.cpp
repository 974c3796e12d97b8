// The maker's maintenance replies and records: any osdp_MFGREP data, then the customer-code
// list operations and names. It must never crash, break the list's rules, or read past the
// data.

#include "maintenance/cust_codes.h"
#include "maintenance/mfg_channel.h"

#include <cstdlib>
#include <vector>

using namespace quintrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TMaintenanceRecords records;
    const std::vector<std::uint8_t> copy(data, data + size);
    HandleMfgReply(records, copy.data(), copy.size());
    TCustCodeList& list = records.CustCodes;
    ListText(list);
    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        if (data[i] & 1)
            list.Delete(data[i + 1] % 24);
        else
            list.Add(data[i + 1], static_cast<std::uint16_t>(data[i + 2] << 8 | data[i]));
        CustCodeText(TCustCode{data[i + 1], static_cast<std::uint16_t>(data[i + 2] << 8 | data[i])});
    }
    if (list.Count > TCustCodeList::Capacity) std::abort();
    for (int i = 0; i < list.Count; ++i)
        if (list.Items[static_cast<std::size_t>(i)].CodeType == 0) std::abort();
    WriteCustCodes(0x7C4E15, 0, list);
    WriteVarFlags(0x7C4E15, 0, records.VarFlags);
    return 0;
}
