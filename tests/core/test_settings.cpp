// The settings file: the INI dialect and the key table on top of it.

#include "settings/ini_document.h"
#include "settings/settings.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace quintrel;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(IniValues, IntegersFollowTheProfileReader) {
    EXPECT_EQ(IniTextToInteger(" 42 "), 42);
    EXPECT_EQ(IniTextToInteger("-100"), -100);
    EXPECT_EQ(IniTextToInteger("+7"), 7);
    EXPECT_EQ(IniTextToInteger("0x7C4E15"), 0x7C4E15);
    EXPECT_EQ(IniTextToInteger("$ff"), 255);
    EXPECT_EQ(IniTextToInteger("2147483647"), 2147483647);
    EXPECT_EQ(IniTextToInteger("-2147483648"), -2147483647 - 1);
    // Anything that is not one whole 32-bit number reads as 0, never as a part of it.
    for (const char* text :
         {"", "abc", "12abc", "2147483648", "99999999999", "-", "0x", "1 2", "0x1G"})
        EXPECT_EQ(IniTextToInteger(text), 0) << text;
}

TEST(IniDocument, ReadsLikeAProfileFile) {
    const TIniDocument ini = TIniDocument::Parse("top=ignored\r\n"
                                                 "; comment=no\r\n"
                                                 "[Options]\r\n"
                                                 "  Baudrate = 19200  \r\n"
                                                 "baudrate=1\r\n"
                                                 "flag=2\r\n"
                                                 "off= 0x0 \r\n"
                                                 "word=yes\r\n"
                                                 "empty=\r\n"
                                                 "junk line\r\n"
                                                 "[options]\r\n"
                                                 "late=1\r\n"
                                                 "[ other ]\n"
                                                 "path=/tmp/a b=c.kfw");
    EXPECT_EQ(ini.ReadInteger("options", "BAUDRATE", 0), 19200); // first key wins
    // Only the number 0 is false.
    EXPECT_TRUE(ini.ReadBool("options", "flag", false));
    EXPECT_TRUE(ini.ReadBool("options", "word", false));
    EXPECT_TRUE(ini.ReadBool("options", "empty", false));
    EXPECT_FALSE(ini.ReadBool("options", "off", true));
    EXPECT_FALSE(ini.ReadBool("options", "missing", false));
    EXPECT_EQ(ini.ReadInteger("options", "word", 5), 0);
    EXPECT_EQ(ini.ReadInteger("options", "empty", 5), 0);
    EXPECT_EQ(ini.ReadInteger("options", "missing", 5), 5);
    EXPECT_FALSE(ini.Read("options", "late")); // only the first section of a name counts
    EXPECT_FALSE(ini.Read("options", "top"));
    EXPECT_FALSE(ini.Read("options", "; comment"));
    EXPECT_EQ(ini.ReadString("other", "path", ""), "/tmp/a b=c.kfw");
    // A byte-order mark from an editor must not hide the first section.
    EXPECT_EQ(
        TIniDocument::Parse("\xEF\xBB\xBF[options]\nkey=1\n").ReadInteger("options", "key", 0), 1);
    // Only the first mark is one: after two, the header is text, and stays text once written.
    const std::string twoMarks = "\xEF\xBB\xBF\xEF\xBB\xBF[options]\nbaudrate=x\n";
    const TSettings read = ParseSettings(twoMarks);
    EXPECT_EQ(read.Baudrate, TSettings{}.Baudrate);
    EXPECT_TRUE(ParseSettings(FormatSettings(read, twoMarks)) == read);
    EXPECT_TRUE(FormatSettings(read, twoMarks).starts_with(twoMarks));
}

TEST(IniDocument, WritingKeepsTheRestOfTheFile) {
    const std::string original = "; kept\n"
                                 "[options]\n"
                                 "Foreign = x  \n"
                                 "baudrate=1200\n"
                                 "\n"
                                 "[extra]\n"
                                 "a=1\n";
    TIniDocument ini = TIniDocument::Parse(original);
    EXPECT_EQ(ini.Format(), original);
    ini.WriteInteger("OPTIONS", "BaudRate", 9600);
    ini.WriteBool("options", "use_crc", true);
    ini.Write("new", "k", "two\nlines");
    EXPECT_EQ(ini.Format(), "; kept\n"
                            "[options]\n"
                            "Foreign = x  \n"
                            "baudrate=9600\n"
                            "use_crc=1\n"
                            "\n"
                            "[extra]\n"
                            "a=1\n"
                            "\n"
                            "[new]\n"
                            "k=two\n");
}

TEST(Settings, MissingKeysKeepTheCurrentValues) {
    TSettings current;
    current.ComPort = "server:4001";
    current.DfuFilename = "/fw/reader.kfw";
    const TSettings s = ParseSettings("[options]\nbaudrate=38400\n", current);
    EXPECT_EQ(s.ComPort, "server:4001");
    EXPECT_EQ(s.DfuFilename, "/fw/reader.kfw");
    EXPECT_EQ(s.Baudrate, 38400);
}

// What a first start leaves behind: every key, in table order, booleans as 1 and 0.
TEST(Settings, NewFileHoldsEveryKeyInTableOrder) {
    const std::string text = FormatSettings(TSettings{});
    EXPECT_TRUE(text.starts_with("[options]\ncomport=COM1\nbaudrate=9600\ndatabits=8\nparity=0\n"
                                 "stopbits=1\naddress=0\npollinterval=0\nuse_crc=1\nuse_scbk_d=1\n"
                                 "diversify_masterkey=1\nMFG_ID=8146453\nshow_desc=1\nshow_poll=0\n"
                                 "show_raw=0\nreopen_secure_channel=1\nreconnect=0\n\n[poll_select]\n"
                                 "addr0=1\n"
                                 "addr1=0\naddr2=0\n"))
        << text;
    EXPECT_TRUE(
        text.ends_with("\naddr125=0\naddr126=0\n\n[DFU]\nfilename=\n\n[window]\nleft=0\n"
                       "top=0\nwidth=0\nheight=0\nmaximized=1\nlog_height=0\npoll_height=0\n"
                       "\n[history]\ncount=0\n"))
        << text;
    EXPECT_EQ(Lines(text).size(), 18u + 1 + 127 + 3 + 9 + 3); // no folder kept yet
}

TEST(Settings, RoundTripThroughAnOldFile) {
    TSettings s;
    s.ComPort = "127.0.0.1:4001";
    s.Baudrate = 115200;
    s.DataBits = 7;
    s.Parity = 2;
    s.StopBits = 2;
    s.Address = 127;
    s.PollInterval = 250;
    s.UseCrc = false;
    s.UseScbkD = false;
    s.DiversifyMasterkey = false;
    s.MfgId = -5; // stored as read; its bit pattern survives
    s.ShowDesc = false;
    s.ShowPoll = true;
    s.ShowRaw = true;
    s.ReopenSessions = false;
    s.Reconnect = true;
    s.Folders = {{"save_log", "/home/me/logs"}, {"file_transfer", "/srv/updates dir"}};
    s.PollSelect[0] = false;
    s.PollSelect[126] = true;
    s.DfuFilename = "/home/me/fw 1.kfw";
    s.Window = TWindowPlacement{-20, 40, 1280, 900, false, 600, 180};
    s.History = {"69 00 01 02", "0x64", "61 00"};
    const std::string old = "[options]\nforeign=00\nbaudrate=1\ncomport=x\n"
                            "[poll_select]\naddr5=1\naddr0=1\n[DFU]\nfilename=old.kfw\n";
    const std::string text = FormatSettings(s, old);
    EXPECT_EQ(ParseSettings(text), s);
    // Our keys come first and in our order; what else the file holds is kept after them.
    const std::vector<std::string> lines = Lines(text);
    ASSERT_GT(lines.size(), 20u);
    EXPECT_EQ(lines[1], "comport=127.0.0.1:4001");
    EXPECT_EQ(lines[2], "baudrate=115200");
    EXPECT_EQ(lines[14], "show_raw=1");
    EXPECT_EQ(lines[15], "reopen_secure_channel=0");
    EXPECT_EQ(lines[16], "reconnect=1");
    EXPECT_EQ(lines[17], "foreign=00");
    EXPECT_EQ(lines[19], "addr0=0");
    EXPECT_EQ(lines[20], "addr1=0");
    EXPECT_EQ(FormatSettings(s, text), text);
    // A folder no longer kept is emptied, and reads back as none.
    s.Folders.erase("save_log");
    EXPECT_EQ(ParseSettings(FormatSettings(s, text)).Folders, s.Folders);
}

// Found by fuzzing: a value with a CR inside it was cut there when written back.
TEST(Settings, WhatIsReadIsWrittenBackUnchanged) {
    const std::string text =
        "[DFU]\nfilename=a.kfw\t\r\r x\ty\r\r\n[options]\ncomport=\r COM3 \r\n";
    const TSettings read = ParseSettings(text);
    EXPECT_EQ(read.DfuFilename, "a.kfw\t\r\r x\ty");
    EXPECT_EQ(read.ComPort, "COM3");
    EXPECT_EQ(ParseSettings(FormatSettings(read, text)), read);
}

TEST(Settings, HistoryKeepsFiftyAndNoKeys) {
    TSettings s;
    for (int i = 0; i < 60; ++i)
        s.History.push_back(std::to_string(i));
    s.History.insert(s.History.begin() + 1,
                     "75 01 10 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF");
    s.History.insert(s.History.begin() + 2, "76 01 02 03 04 05 06 07 08");
    const TSettings back = ParseSettings(FormatSettings(s));
    ASSERT_EQ(back.History.size(), 50u);
    EXPECT_EQ(back.History.front(), "0");
    EXPECT_EQ(back.History.back(), "49");
    // A shorter history written over a longer one leaves nothing of it behind.
    TSettings shorter;
    shorter.History = {"64"};
    const std::string text = FormatSettings(shorter, FormatSettings(s));
    EXPECT_EQ(ParseSettings(text).History, shorter.History);
    EXPECT_EQ(text.find("cmd2=1"), std::string::npos);
}
