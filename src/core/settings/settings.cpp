#include "settings/settings.h"

#include "settings/ini_document.h"

#include <string>
#include <vector>

namespace quintrel {

namespace {

constexpr std::string_view kOptions = "options";
constexpr std::string_view kPollSelect = "poll_select";
constexpr std::string_view kDfu = "DFU";
constexpr std::string_view kWindow = "window";
constexpr std::string_view kHistory = "history";
constexpr std::string_view kFolders = "folders";

std::string PollKey(int address) {
    return "addr" + std::to_string(address);
}

std::string HistoryKey(int index) {
    return "cmd" + std::to_string(index + 1);
}

// Entries that carry key material (osdp_KEYSET, osdp_CHLNG, osdp_SCRYPT) stay in memory:
// the settings file never holds a key.
bool Storable(const std::string& entry) {
    const std::string_view code = std::string_view(entry).substr(0, 2);
    return code != "75" && code != "76" && code != "77";
}

const std::vector<std::string> kOptionKeys = {
    "comport", "baudrate",     "databits",  "parity",     "stopbits",
    "address", "pollinterval", "use_crc",   "use_scbk_d", "diversify_masterkey",
    "MFG_ID",  "show_desc",    "show_poll", "show_raw",   "reopen_secure_channel",
    "reconnect",
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
    s.ReopenSessions = ini.ReadBool(kOptions, "reopen_secure_channel", current.ReopenSessions);
    s.Reconnect = ini.ReadBool(kOptions, "reconnect", current.Reconnect);
    for (int a = 0; a < kPollSelectCount; ++a)
        s.PollSelect[a] = ini.ReadBool(kPollSelect, PollKey(a), current.PollSelect[a]);
    s.DfuFilename = ini.ReadString(kDfu, "filename", current.DfuFilename);
    const TWindowPlacement& w = current.Window;
    s.Window = TWindowPlacement{ini.ReadInteger(kWindow, "left", w.Left),
                                ini.ReadInteger(kWindow, "top", w.Top),
                                ini.ReadInteger(kWindow, "width", w.Width),
                                ini.ReadInteger(kWindow, "height", w.Height),
                                ini.ReadBool(kWindow, "maximized", w.Maximized),
                                ini.ReadInteger(kWindow, "log_height", w.LogHeight),
                                ini.ReadInteger(kWindow, "poll_height", w.PollHeight)};
    for (std::string_view key : kFolderKeys) {
        const auto kept = current.Folders.find(std::string(key));
        const std::string folder = ini.ReadString(
            kFolders, std::string(key), kept != current.Folders.end() ? kept->second : "");
        if (!folder.empty()) s.Folders[std::string(key)] = folder;
    }
    const int count = ini.ReadInteger(kHistory, "count", -1);
    if (count < 0) {
        s.History = current.History;
    } else {
        for (int i = 0; i < count && i < kHistoryKept; ++i) {
            const std::string entry = ini.ReadString(kHistory, HistoryKey(i), "");
            if (!entry.empty() && Storable(entry)) s.History.push_back(entry);
        }
    }
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
    ini.WriteBool(kOptions, "reopen_secure_channel", s.ReopenSessions);
    ini.WriteBool(kOptions, "reconnect", s.Reconnect);
    for (int a = 0; a < kPollSelectCount; ++a)
        ini.WriteBool(kPollSelect, PollKey(a), s.PollSelect[a]);
    ini.Write(kDfu, "filename", s.DfuFilename);
    ini.WriteInteger(kWindow, "left", s.Window.Left);
    ini.WriteInteger(kWindow, "top", s.Window.Top);
    ini.WriteInteger(kWindow, "width", s.Window.Width);
    ini.WriteInteger(kWindow, "height", s.Window.Height);
    ini.WriteBool(kWindow, "maximized", s.Window.Maximized);
    ini.WriteInteger(kWindow, "log_height", s.Window.LogHeight);
    ini.WriteInteger(kWindow, "poll_height", s.Window.PollHeight);
    for (std::string_view key : kFolderKeys) {
        const auto folder = s.Folders.find(std::string(key));
        if (folder != s.Folders.end())
            ini.Write(kFolders, std::string(key), folder->second);
        else if (ini.Read(kFolders, std::string(key)))
            ini.Write(kFolders, std::string(key), "");
    }
    std::vector<std::string> kept;
    for (const std::string& entry : s.History)
        if (!entry.empty() && Storable(entry) && kept.size() < kHistoryKept) kept.push_back(entry);
    ini.WriteInteger(kHistory, "count", static_cast<int>(kept.size()));
    // Entries beyond the count are emptied, so an older, longer history leaves nothing behind.
    for (int i = 0; i < kHistoryKept; ++i) {
        if (i < static_cast<int>(kept.size()))
            ini.Write(kHistory, HistoryKey(i), kept[static_cast<std::size_t>(i)]);
        else if (ini.Read(kHistory, HistoryKey(i)))
            ini.Write(kHistory, HistoryKey(i), "");
    }

    // Our keys always read in the same order, whatever order an edited file had.
    ini.Order(kOptions, kOptionKeys);
    std::vector<std::string> pollKeys;
    for (int a = 0; a < kPollSelectCount; ++a)
        pollKeys.push_back(PollKey(a));
    ini.Order(kPollSelect, pollKeys);
    return ini.Format();
}

} // namespace quintrel
