#pragma once
// What the exchange machine reports: how an exchange or a command ended, who asked for a
// frame, and the actions an adapter carries out after each input (write, log, report).

#include <cstdint>
#include <string>
#include <vector>

namespace quintrel {

// How an exchange ended: a valid reply, no reply in time, a reply that failed its check
// bytes (or its layout), or one that arrived intact but failed its security (MAC, session).
// A command can also end without leaving at all (NotSent): its secure channel ended before
// its turn, its device does not answer the frame it still owes an answer to, or the port
// closed while it waited.
enum class TExchangeEnd { Reply, Timeout, BadCheck, BadSecurity, NotSent };

// Who submitted a request: a person (a menu command, the hex line, a maintenance request), or
// a procedure that sends by itself (the next step of a secure-channel handshake, the fragments
// of a file, the probes of a search). The window announces only a person's commands.
enum class TOrigin { User, Routine };

struct TViewFlags {
    bool Raw = false;
    bool Description = true;
    bool Poll = false;
    bool Keys = false; // key bytes in logged frames shown (else "(16 key bytes hidden)")
};

enum class TActionKind : std::uint8_t {
    Write,            // Bytes go on the line (mark byte included)
    Log,              // Text
    Status,           // Value = panel, Text
    ControlsChanged,  //
    PollListChanged,  //
    FrameSent,        // Address, Code = command, Value = attempt
    ExchangeEnded,    // Address, End, Us = round trip or -1
    CommandEnded,     // Address, Code = command, Origin, End, Reply, Bytes = the reply's data
    FrameReceived,    // Address, Code, Bytes = plain data, Serial = the submission it answers
    InvalidFrame,     // Address
    UnawaitedFrame,   // Address, Flag = intact
    MfgReply,         // Address, Bytes
    LineFrame,        // Flag = sent, Bytes = the frame without its mark byte
    SelectAddress,    // Address: the device moved there (osdp_COM)
    IssueMenuCommand, // Code = tag, Address: a reply calls for a command a person composes
    SetBaud,          // Value = the line's new speed
};

struct TLineAction {
    TActionKind Kind = TActionKind::Log;
    // A report of the frame written just before: void when that write fails.
    bool AfterWrite = false;
    bool Flag = false;
    std::uint8_t Address = 0;
    std::uint8_t Code = 0;
    std::uint8_t Reply = 0;
    TOrigin Origin = TOrigin::User;
    TExchangeEnd End = TExchangeEnd::Reply;
    int Value = 0;
    std::int64_t Us = -1;
    std::uint64_t Serial = 0; // a submission's number (the count of submissions after it)
    std::string Text;
    std::vector<std::uint8_t> Bytes;
};

} // namespace quintrel
