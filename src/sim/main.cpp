// quintrel-pd: a simulated OSDP reader line to talk to without hardware.

#include "log/hex.h"
#include "sim/sim_bus.h"
#include "sim_line.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QStringList>
#include <QTextStream>

using namespace quintrel;
using namespace quintrel::sim;

namespace {

const char* const kHelp = R"help(Usage: quintrel-pd TRANSPORT [READER OPTIONS] [LINE OPTIONS]

A simulated OSDP reader line. Each reader answers the commands addressed to it
with its own address and the command's sequence number, in the command's CRC or
checksum mode.

Transport (one of):
  --listen PORT          TCP server on 127.0.0.1 (Quintrel connects as client to
                         127.0.0.1:PORT). PORT 0 picks a free port; the line
                         "listening on ADDRESS:PORT" tells which.
  --bind ADDRESS         listen on ADDRESS instead of 127.0.0.1
  --connect HOST:PORT    connect to Quintrel running as "server:PORT"
  --serial PATH          a serial device or pseudo-terminal
  --pty PATH             a pseudo-terminal of its own, linked at PATH, for Quintrel to
                         open as a serial port; the readers hear only what is sent at
                         their own speed (and answer only then)
  --baud N               the line's baud rate (default 9600)

Readers (repeatable; options after an --address apply to that reader, options
before the first --address to every reader):
  --address N            a reader at address N (default: one reader at 0)
  --scbk HEX             its secure-channel base key (16 bytes)
  --master-key HEX       its key is diversified from this master key and its cUID
  --serial-number N      serial number (also the last 4 bytes of its cUID)
  --silent               it does not answer
  --no-broadcast         it does not answer a broadcast (it answers its own address)
  --answer-delay MS      its replies leave MS after the command (so readers answer a
                         broadcast apart; replies that overlap on the line collide)
Without --scbk or --master-key a reader knows only the default key SCBK-D.

Protocol (strict by default, as a standard reader):
  A repeated sequence number gets the last reply again, byte for byte, and
  nothing runs twice; an unexpected number gets osdp_NAK 04; sequence 0 starts
  the count and the secure session anew; a damaged frame gets no reply; a frame
  cut short is dropped after 200 ms without a byte; a frame longer than the
  receive size of 1024 bytes is not run; a command shorter or longer than its
  layout gets osdp_NAK 02; a command for an output, LED or reader that is not
  there gets a NAK; a broadcast is answered from address 0x7F by every reader
  (each checks its sequence number as for any frame); osdp_COMSET to a speed no
  serial port has is answered with osdp_COM carrying the settings kept;
  osdp_KEYSET outside a secure session, and a command without a MAC inside one
  (osdp_CHLNG aside), get osdp_NAK 06; once a reader has a key of its own the
  default key no longer opens a session.
  --lenient              none of that: no sequence checks, no replays, anything
                         answered, keys taken in the clear
  --allow-plain-keyset   take osdp_KEYSET outside a secure session
  --keyset-ends-session  end the secure session after a new key
  --install-mode         the default key opens a session even once a key is set
  --broadcast-own-address  answer a broadcast from the reader's own address
  --refuse-scrypt        refuse every server cryptogram (osdp_RMAC_I with 0xFF)
  --rmac-without-cryptogram  compute the initial MAC without the server cryptogram
  --inter-byte-timeout MS  drop a frame in assembly after MS of quiet (default
                         200; 0 waits for the whole announced length)
  --record               print what the readers really did on standard output:
                         "ran ADDR CODE DATA" for each command executed (polls
                         left out), "delivered ADDR CODE DATA" for each event,
                         "session ADDR opened|refused (WHY)|ended (WHY)",
                         "overlong ADDR LENGTH" for a frame it could not take, and
                         "collision ADDR" for a frame that came while an answer
                         still waited to leave

Faults and events:
  --bad-crc-every N      every Nth reply carries a wrong CRC or checksum
  --corrupt-reply N      reply N (counted from 1) carries a wrong CRC (repeatable)
  --drop-command N       command N is lost on its way in (repeatable)
  --drop-reply N         reply N is lost on its way out; the reader ran the command
                         and repeats the reply for the same number (repeatable)
  --busy N               answer the next N commands with osdp_BUSY
  --nak-plain            answer the next command with a plain osdp_NAK that ends
                         the secure session
  --noise-every MS       a random byte on the line every MS milliseconds
  --line-noise SHARE     each reply byte is, with this chance (0.01 = 1 %), flipped,
                         dropped or preceded by a stray byte; "stats" on standard
                         input tells how many replies went out and how many undamaged
  --noise-seed N         another seed for that damage (the default is always the same)
  --drop-share SHARE     each reply is, with this chance, lost whole (the reader keeps it
                         for a repeat); "stats" counts them, and the events delivered
  --card-every MS        a card read (32 bits, numbered from 1) is presented every MS

The maker's maintenance commands (osdp_MFG) work on each reader's own customer
codes, check mode, last code read and options (reset gives: no codes, mode 0,
options 00 18 00). Files sent with osdp_FILETRANSFER are kept in memory; with
--record a complete one prints "received ADDR SIZE SHA256".
  --options-bytes N      the reader keeps 1, 2 or 3 option bytes (default 3)
  --ft-delay MS          every osdp_FTSTAT asks for this delay

The bootloader: osdp_MFG 0xEA with the RDX900 password hands the line to it; it
speaks its own frames, keeps the records written and changes the line speed on
command 7. After 500 ms of quiet the new firmware starts: with --record it prints
"image ADDR RECORDS BYTES SHA256", and the line returns to its OSDP speed.
  --boot-fail-record N:K refuse record N (from 0) K times before taking it
  --boot-drop N          lose the reply to bootloader frame N (from 1)
  --boot-refuse-unlock   refuse the unlock whatever the device code
  --boot-ignore-speed    answer the speed change but stay at the speed it has
  --garbage              noise bytes (with a false start byte) before every reply
  --split N --gap MS     replies go out in pieces of N bytes, MS apart
  --drop-after N         close the connection after N frames
  --corrupt-mac          corrupt the MAC of the first protected reply
  --card NUMBER[:BITS]   a card read (default 26 bits) answered to the next poll
  --keys DIGITS          key presses answered to a poll
  --verbose              print every frame received and sent on stderr

  -h, --help             this text      -v, --version    the version

Commands on standard input, one per line (N counts from now, 1 = the next):
  card NUMBER [BITS [ADDRESS]]    keys DIGITS [ADDRESS]    corrupt-mac
  silent [ADDRESS]    answer [ADDRESS]    bad-crc-every N
  restart [ADDRESS] (the reader loses power: its count, kept reply, session and events)
  stats (replies sent, undamaged, lost whole; events delivered)
  corrupt-reply [N]   corrupt-reply-to CODE (hex: the reply to the next such command)
  drop-command [N]    drop-reply [N]    late MS (the next reply leaves MS late)
  split-next N GAP (the next reply's first N bytes, the rest GAP ms later)
  busy N    nak-plain    odd-block TYPE (hex: the next reply in a
  secure session carries this block without a MAC)
  last-code TYPE VALUE [ADDRESS] (hex: the reader has just read this customer code)
  maker [ADDRESS] (prints its codes, mode and options)    ft-delay MS
  ft-max N (every osdp_FTSTAT asks for messages of at most N bytes)
  ft-status N (the next osdp_FTSTAT carries status N)    ft-silent (the next
  fragment gets no answer)    quit
)help";

bool ParseKey(const QString& text, TAesKey& key) {
    std::uint8_t bytes[127];
    const std::size_t n = HexToBytes(text.toStdString(), bytes, sizeof bytes);
    if (n != 16) return false;
    std::copy(bytes, bytes + 16, key.begin());
    return true;
}

int Fail(const QString& message) {
    QTextStream(stderr) << "quintrel-pd: " << message << Qt::endl;
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    TLineConfig line;
    TReaderConfig defaults;
    std::vector<TReaderConfig> readers;
    TReaderConfig* current = &defaults;
    int badCrcEvery = 0;
    bool corruptMac = false;
    TBusRules rules;
    bool record = false;
    bool nakPlain = false;
    int busy = 0;
    int fileDelay = 0;
    TBootFaults boot;
    std::vector<std::size_t> corruptReplies, dropCommands, dropReplies;
    QStringList cards, keys;
    bool transport = false;

    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        auto value = [&]() -> QString { return i + 1 < args.size() ? args[++i] : QString(); };
        auto integer = [&](int& out) {
            bool ok = false;
            out = value().toInt(&ok);
            return ok;
        };
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            QTextStream(stdout) << kHelp;
            return 0;
        } else if (a == QLatin1String("-v") || a == QLatin1String("--version")) {
            QTextStream(stdout) << "quintrel-pd " << QUINTREL_VERSION << '\n';
            return 0;
        } else if (a == QLatin1String("--listen")) {
            if (!integer(line.ListenPort)) return Fail(QStringLiteral("--listen needs a port"));
            transport = true;
        } else if (a == QLatin1String("--bind")) {
            line.ListenAddress = value();
        } else if (a == QLatin1String("--connect")) {
            line.ConnectTo = value();
            transport = true;
        } else if (a == QLatin1String("--serial")) {
            line.SerialPath = value();
            transport = true;
        } else if (a == QLatin1String("--pty")) {
            line.PtyPath = value();
            transport = true;
        } else if (a == QLatin1String("--boot-fail-record")) {
            const QStringList nk = value().split(QLatin1Char(':'));
            bool okN = false, okK = false;
            boot.FailRecord = nk.value(0).toInt(&okN);
            boot.FailTimes = nk.value(1).toInt(&okK);
            if (!okN || !okK) return Fail(QStringLiteral("--boot-fail-record needs N:K"));
        } else if (a == QLatin1String("--boot-drop")) {
            if (!integer(boot.DropFrame)) return Fail(QStringLiteral("--boot-drop needs a number"));
        } else if (a == QLatin1String("--boot-refuse-unlock")) {
            boot.RefuseUnlock = true;
        } else if (a == QLatin1String("--boot-ignore-speed")) {
            boot.IgnoreSpeed = true;
        } else if (a == QLatin1String("--baud")) {
            if (!integer(line.Baud)) return Fail(QStringLiteral("--baud needs a number"));
        } else if (a == QLatin1String("--address")) {
            readers.push_back(defaults);
            current = &readers.back();
            if (!integer(current->Address) || current->Address < 0 || current->Address > 126)
                return Fail(QStringLiteral("--address needs 0..126"));
            current->Serial = 0x12345678u + static_cast<std::uint32_t>(current->Address);
        } else if (a == QLatin1String("--scbk")) {
            current->Scbk.emplace();
            if (!ParseKey(value(), *current->Scbk))
                return Fail(QStringLiteral("--scbk needs 16 hex bytes"));
        } else if (a == QLatin1String("--master-key")) {
            current->MasterKey.emplace();
            if (!ParseKey(value(), *current->MasterKey))
                return Fail(QStringLiteral("--master-key needs 16 hex bytes"));
        } else if (a == QLatin1String("--serial-number")) {
            bool ok = false;
            current->Serial = value().toUInt(&ok, 0);
            if (!ok) return Fail(QStringLiteral("--serial-number needs a number"));
        } else if (a == QLatin1String("--options-bytes")) {
            if (!integer(current->OptionBytes) || current->OptionBytes < 1 ||
                current->OptionBytes > 3)
                return Fail(QStringLiteral("--options-bytes needs 1, 2 or 3"));
        } else if (a == QLatin1String("--ft-delay")) {
            if (!integer(fileDelay) || fileDelay < 0 || fileDelay > 65535)
                return Fail(QStringLiteral("--ft-delay needs 0..65535 ms"));
        } else if (a == QLatin1String("--silent")) {
            current->Silent = true;
        } else if (a == QLatin1String("--no-broadcast")) {
            current->IgnoresBroadcast = true;
        } else if (a == QLatin1String("--bad-crc-every")) {
            if (!integer(badCrcEvery))
                return Fail(QStringLiteral("--bad-crc-every needs a number"));
        } else if (a == QLatin1String("--lenient")) {
            rules.Lenient = true;
        } else if (a == QLatin1String("--allow-plain-keyset")) {
            rules.AllowPlainKeyset = true;
        } else if (a == QLatin1String("--keyset-ends-session")) {
            rules.KeysetEndsSession = true;
        } else if (a == QLatin1String("--record")) {
            record = true;
        } else if (a == QLatin1String("--corrupt-reply") || a == QLatin1String("--drop-command") ||
                   a == QLatin1String("--drop-reply")) {
            int n = 0;
            if (!integer(n) || n < 1)
                return Fail(QStringLiteral("%1 needs a number from 1").arg(a));
            (a == QLatin1String("--corrupt-reply")  ? corruptReplies
             : a == QLatin1String("--drop-command") ? dropCommands
                                                    : dropReplies)
                .push_back(static_cast<std::size_t>(n));
        } else if (a == QLatin1String("--answer-delay")) {
            if (!integer(current->AnswerDelayMs) || current->AnswerDelayMs < 0 ||
                current->AnswerDelayMs > 60000)
                return Fail(QStringLiteral("--answer-delay needs 0..60000 ms"));
        } else if (a == QLatin1String("--install-mode")) {
            rules.InstallMode = true;
        } else if (a == QLatin1String("--broadcast-own-address")) {
            rules.BroadcastOwnAddress = true;
        } else if (a == QLatin1String("--refuse-scrypt")) {
            rules.RefuseScrypt = true;
        } else if (a == QLatin1String("--rmac-without-cryptogram")) {
            rules.RmacWithoutCryptogram = true;
        } else if (a == QLatin1String("--inter-byte-timeout")) {
            if (!integer(line.InterByteMs) || line.InterByteMs < 0)
                return Fail(QStringLiteral("--inter-byte-timeout needs milliseconds"));
        } else if (a == QLatin1String("--busy")) {
            if (!integer(busy) || busy < 0) return Fail(QStringLiteral("--busy needs a number"));
        } else if (a == QLatin1String("--nak-plain")) {
            nakPlain = true;
        } else if (a == QLatin1String("--noise-every")) {
            if (!integer(line.NoiseEveryMs) || line.NoiseEveryMs < 1)
                return Fail(QStringLiteral("--noise-every needs milliseconds"));
        } else if (a == QLatin1String("--line-noise")) {
            bool ok = false;
            line.LineNoise = value().toDouble(&ok);
            if (!ok || line.LineNoise < 0 || line.LineNoise > 1)
                return Fail(QStringLiteral("--line-noise needs a share from 0 to 1"));
        } else if (a == QLatin1String("--drop-share")) {
            bool ok = false;
            line.DropShare = value().toDouble(&ok);
            if (!ok || line.DropShare < 0 || line.DropShare > 1)
                return Fail(QStringLiteral("--drop-share needs a share from 0 to 1"));
        } else if (a == QLatin1String("--card-every")) {
            if (!integer(line.CardEveryMs) || line.CardEveryMs < 1)
                return Fail(QStringLiteral("--card-every needs milliseconds"));
        } else if (a == QLatin1String("--noise-seed")) {
            bool ok = false;
            line.NoiseSeed = value().toUInt(&ok, 0);
            if (!ok) return Fail(QStringLiteral("--noise-seed needs a number"));
        } else if (a == QLatin1String("--garbage")) {
            line.Garbage = true;
        } else if (a == QLatin1String("--split")) {
            if (!integer(line.SplitChunk)) return Fail(QStringLiteral("--split needs a number"));
        } else if (a == QLatin1String("--gap")) {
            if (!integer(line.SplitGapMs)) return Fail(QStringLiteral("--gap needs a number"));
        } else if (a == QLatin1String("--drop-after")) {
            if (!integer(line.DropAfter))
                return Fail(QStringLiteral("--drop-after needs a number"));
        } else if (a == QLatin1String("--corrupt-mac")) {
            corruptMac = true;
        } else if (a == QLatin1String("--card")) {
            cards << value();
        } else if (a == QLatin1String("--keys")) {
            keys << value();
        } else if (a == QLatin1String("--verbose")) {
            line.Verbose = true;
        } else {
            return Fail(QStringLiteral("unknown option %1 (see --help)").arg(a));
        }
    }
    if (!transport)
        return Fail(QStringLiteral("give --listen, --connect, --serial or --pty (see --help)"));
    if (readers.empty()) readers.push_back(defaults);

    TSimBus bus(readers, static_cast<unsigned>(QCoreApplication::applicationPid()), rules);
    bus.SetBadCrcEvery(badCrcEvery);
    for (std::size_t n : corruptReplies)
        bus.CorruptReply(n);
    for (std::size_t n : dropCommands)
        bus.DropCommand(n);
    for (std::size_t n : dropReplies)
        bus.DropReply(n);
    bus.AnswerBusy(busy);
    bus.SetFileDelay(fileDelay);
    bus.Boot.Faults = boot;
    bus.Digest = [](const std::vector<std::uint8_t>& bytes) {
        return QCryptographicHash::hash(
                   QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                   QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    };
    if (nakPlain) bus.NakPlainNext();
    if (record)
        bus.Record = [](const std::string& text) {
            QTextStream(stdout) << QString::fromStdString(text) << Qt::endl;
        };
    if (corruptMac) bus.CorruptNextMac();
    TSimLine simLine(bus, line);
    for (const QString& c : cards) {
        const QStringList parts = c.split(QLatin1Char(':'));
        const QString answer = simLine.Command(
            QStringLiteral("card %1 %2").arg(parts.value(0), parts.value(1, QStringLiteral("26"))));
        if (answer != QLatin1String("card queued"))
            return Fail(QStringLiteral("--card %1: %2").arg(c, answer));
    }
    for (const QString& k : keys)
        if (!bus.QueueKeys(-1, k.toStdString()))
            return Fail(QStringLiteral("--keys %1 not accepted").arg(k));

    QString error;
    if (!simLine.Start(&error)) return Fail(error);
    simLine.WatchStandardInput();
    return app.exec();
}
