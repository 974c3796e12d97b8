#include "settings/settings.h"

#include "settings/ini_document.h"

#include <string>
#include <vector>

namespace quintrel {

namespace {

constexpr std::string_view kOptions = "options";
constexpr std::string_view kPollSelect = "poll_select";
constexpr std::string_view kDfu = "DFU";

std::string PollKey(int address) {
    return "addr" + std::to_string(address);
}

const std::vector<std::string> kOptionKeys = {
    "comport", "baudrate",     "databits",  "parity",     "stopbits",
    "address", "pollinterval", "use_crc",   "use_scbk_d", "diversify_masterkey",
    "MFG_ID",  "show_desc",    "show_poll", "show_raw",
};

} // namespace

TSettings ParseSettings(std::string_view text, const TSettings& current) {
    const TIniDocument ini = TIniDocument::Parse(text);
    TSettings s;
    s.ComPort = ini.ReadString(kOptions, "comport", current.ComPort);
    s.Baudrate = ini.ReadInteger(kOptions, "baudrate", current.Baudrate);
    s.DataBits = ini.ReadInteger(kOptions, "databits", current.DataBits);
    s.Parity = ini.ReadInteger(kOptions, "parity", current.Parity);
    s.StopBits = ini.ReadInteger(kOptions, "stopbits", current.StopBits);
    s.Address = ini.ReadInteger(kOptions, "address", current.Address);
    s.PollInterval = ini.ReadInteger(kOptions, "pollinterval", current.PollInterval);
    s.UseCrc = ini.ReadBool(kOptions, "use_crc", current.UseCrc);
    s.UseScbkD = ini.ReadBool(kOptions, "use_scbk_d", current.UseScbkD);
    s.DiversifyMasterkey =
        ini.ReadBool(kOptions, "diversify_masterkey", current.DiversifyMasterkey);
    s.MfgId = ini.ReadInteger(kOptions, "MFG_ID", current.MfgId);
    s.ShowDesc = ini.ReadBool(kOptions, "show_desc", current.ShowDesc);
    s.ShowPoll = ini.ReadBool(kOptions, "show_poll", current.ShowPoll);
    s.ShowRaw = ini.ReadBool(kOptions, "show_raw", current.ShowRaw);
    for (int a = 0; a < kPollSelectCount; ++a)
        s.PollSelect[a] = ini.ReadBool(kPollSelect, PollKey(a), current.PollSelect[a]);
    s.DfuFilename = ini.ReadString(kDfu, "filename", current.DfuFilename);
    return s;
}

std::string FormatSettings(const TSettings& s, std::string_view existing) {
    TIniDocument ini = TIniDocument::Parse(existing);
    ini.Write(kOptions, "comport", s.ComPort);
    ini.WriteInteger(kOptions, "baudrate", s.Baudrate);
    ini.WriteInteger(kOptions, "databits", s.DataBits);
    ini.WriteInteger(kOptions, "parity", s.Parity);
    ini.WriteInteger(kOptions, "stopbits", s.StopBits);
    ini.WriteInteger(kOptions, "address", s.Address);
    ini.WriteInteger(kOptions, "pollinterval", s.PollInterval);
    ini.WriteBool(kOptions, "use_crc", s.UseCrc);
    ini.WriteBool(kOptions, "use_scbk_d", s.UseScbkD);
    ini.WriteBool(kOptions, "diversify_masterkey", s.DiversifyMasterkey);
    ini.WriteInteger(kOptions, "MFG_ID", s.MfgId);
    ini.WriteBool(kOptions, "show_desc", s.ShowDesc);
    ini.WriteBool(kOptions, "show_poll", s.ShowPoll);
    ini.WriteBool(kOptions, "show_raw", s.ShowRaw);
    for (int a = 0; a < kPollSelectCount; ++a)
        ini.WriteBool(kPollSelect, PollKey(a), s.PollSelect[a]);
    ini.Write(kDfu, "filename", s.DfuFilename);

    // Our keys always read in the same order, whatever order an edited file had.
    ini.Order(kOptions, kOptionKeys);
    std::vector<std::string> pollKeys;
    for (int a = 0; a < kPollSelectCount; ++a)
        pollKeys.push_back(PollKey(a));
    ini.Order(kPollSelect, pollKeys);
    return ini.Format();
}

} // namespace quintrel
