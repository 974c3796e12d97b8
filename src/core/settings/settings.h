#pragma once
// What the settings file holds, with the values of a first start.

#include <array>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quintrel {

inline constexpr int kPollSelectCount = 127; // addresses 0..126
inline constexpr int kHistoryKept = 50;      // command-line entries kept across a restart

// Where the window was: its normal geometry, whether it was maximised, and how the log
// and the poll selection shared the height. Width 0: nothing saved yet.
struct TWindowPlacement {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    bool Maximized = true;
    int LogHeight = 0;
    int PollHeight = 0;

    bool operator==(const TWindowPlacement&) const = default;
};
inline constexpr int kDefaultMfgId = 0x7C4E15;

struct TSettings {
    std::string ComPort = "COM1";
    int Baudrate = 9600;
    int DataBits = 8;
    int Parity = 0; // 0 none, 1 odd, 2 even
    int StopBits = 1;
    int Address = 0; // index in the address box; 127 is broadcast
    int PollInterval = 0;
    bool UseCrc = true;
    bool UseScbkD = true;
    bool DiversifyMasterkey = true;
    int MfgId = kDefaultMfgId; // 24-bit vendor code; kept as read, without range check
    bool ShowDesc = true;
    bool ShowPoll = false;
    bool ShowRaw = false;
    bool ReopenSessions = true; // a secure session lost with the line is opened again
    bool Reconnect = false;     // a lost connection is opened again every 2 s
    std::array<bool, kPollSelectCount> PollSelect = [] {
        std::array<bool, kPollSelectCount> select{};
        select[0] = true;
        return select;
    }();
    std::string DfuFilename;
    TWindowPlacement Window;
    std::vector<std::string> History; // the command line's entries, newest first
    // The folder each file dialog was last used in, by the dialog's key (kFolderKeys).
    std::map<std::string, std::string> Folders;

    bool operator==(const TSettings&) const = default;
};

// The file dialogs whose folders are kept.
inline constexpr std::array<std::string_view, 4> kFolderKeys = {"save_log", "capture",
                                                                "open_capture", "file_transfer"};

// Values missing from the text keep those of current, which is how the port name and the
// firmware file name default to what the program has at the moment of reading.
TSettings ParseSettings(std::string_view text, const TSettings& current = {});

// Writes every key into existing (the file's previous text), changing the keys in place and
// keeping whatever else the file holds; into an empty text, in our own key order.
std::string FormatSettings(const TSettings& settings, std::string_view existing = {});

} // namespace quintrel
