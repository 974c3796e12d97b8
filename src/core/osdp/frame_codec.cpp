#include "osdp/frame_codec.h"

#include "crypto/secure_message.h"
#include "osdp/bytes.h"

#include <cstring>

namespace quintrel {

namespace {

constexpr std::uint8_t kSom = 0x53;
constexpr std::uint8_t kCtrlCrc = 0x04;
constexpr std::uint8_t kCtrlScb = 0x08;

std::size_t CheckBytes(std::uint8_t ctrl) {
    return (ctrl & kCtrlCrc) ? 2 : 1;
}

struct TLayout {
    const char* Error = nullptr;
    std::uint8_t ScbLength = 0;
    std::uint8_t ScbType = 0;
    std::size_t Length = 0;
};

// The security block as it will be sent and the resulting LEN.
TLayout Layout(const TOsdpRequest& request, const TDeviceState* device, bool useCrc, bool reply) {
    TLayout l;
    l.ScbLength = request.ScbLength;
    l.ScbType = l.ScbLength ? request.ScbType : 0;
    const std::size_t m = request.PayloadLength;
    if (m > kPayloadCapacity) {
        l.Error = "payload too long";
        return l;
    }
    if (device) ProtectCommandBlock(device->Session, m > 0, l.ScbLength, l.ScbType, reply);
    if (l.ScbLength == 1 || l.ScbLength > kScbAreaSize) {
        l.Error = "invalid security block";
        return l;
    }
    if (!device && CarriesMac(l.ScbType)) {
        l.Error = "no secure session for the broadcast address";
        return l;
    }
    l.Length = 7 + l.ScbLength + m + (useCrc ? 1 : 0);
    if (CarriesMac(l.ScbType)) l.Length += 4;
    if (CarriesEncryptedData(l.ScbType)) l.Length += PaddingCount(m);
    return l;
}

} // namespace

std::size_t EncodedLength(const TOsdpRequest& request, const TDeviceState* device, bool useCrc) {
    const TLayout l = Layout(request, device, useCrc, false);
    return l.Error ? 0 : l.Length;
}

TEncodeResult EncodeFrame(const TOsdpRequest& request, TDeviceState* device, bool useCrc,
                          std::uint8_t* tx, bool reply) {
    TEncodeResult result;
    const TLayout layout = Layout(request, device, useCrc, reply);
    if (layout.Error) {
        result.Error = layout.Error;
        return result;
    }
    const std::uint8_t scbLength = layout.ScbLength;
    const std::uint8_t scbType = layout.ScbType;
    const std::size_t m = request.PayloadLength;
    const std::size_t length = layout.Length;
    if (length > kFrameBufferSize) {
        result.Error = "frame too long";
        return result;
    }

    if (device && scbLength && scbType == 0x11) device->Sequence = 0;
    if (device && !useCrc && !reply) device->RepliesWithCrc = false;
    const std::uint8_t sequence = device ? (device->Sequence & 0x03) : 0;

    std::memset(tx, 0, kFrameBufferSize);
    std::uint8_t* cursor = tx;
    PutByte(cursor, kSom);
    PutByte(cursor, static_cast<std::uint8_t>((request.Address & 0x7F) | (reply ? 0x80 : 0)));
    PutWord(cursor, static_cast<std::uint16_t>(length), false);
    PutByte(cursor, static_cast<std::uint8_t>(sequence | (useCrc ? kCtrlCrc : 0) |
                                              (scbLength ? kCtrlScb : 0)));
    if (scbLength) {
        PutByte(cursor, scbLength);
        PutByte(cursor, scbType);
        PutBytes(cursor, scbLength - 2, request.ScbData.data());
    }
    PutByte(cursor, request.Command);
    const std::size_t dataStart = static_cast<std::size_t>(cursor - tx);
    PutBytes(cursor, static_cast<int>(m), request.Payload.data());

    std::size_t end = dataStart + m;
    if (device && CarriesMac(scbType))
        end = ProtectCommandData(device->Session, scbType, tx, dataStart, end);

    cursor = tx + end;
    if (useCrc)
        PutWord(cursor, CalcCrc16(tx, end), false);
    else
        PutByte(cursor, CalcChecksum(tx, end));

    result.Ok = true;
    result.Length = length;
    result.ScbLength = scbLength;
    result.ScbType = scbType;
    return result;
}

TDecodedFrame PeekFrame(const std::uint8_t* frame, std::size_t count) {
    TDecodedFrame f;
    if (count >= 2) f.Address = frame[1] & 0x7F;
    if (count >= 5) f.Ctrl = frame[4];
    std::size_t n = 0;
    if ((f.Ctrl & kCtrlScb) && count >= 6) {
        n = frame[5];
        if (n < 2 || n > kScbAreaSize || 5 + n >= count) {
            f.Error = "block length error";
            return f;
        }
        std::memcpy(f.Scb.data(), frame + 5, n);
    }
    if (count < 7 || 6 + n + CheckBytes(f.Ctrl) > count) {
        f.Error = "length error";
        return f;
    }
    f.Code = frame[5 + n];
    f.DataStart = 6 + n;
    f.DataLength = count - CheckBytes(f.Ctrl) - f.DataStart;
    f.Valid = true; // the layout is sound; nothing is checked yet
    return f;
}

bool CheckBytesHold(const std::uint8_t* frame, std::size_t count) {
    if (!PeekFrame(frame, count).Valid || count > kFrameBufferSize ||
        static_cast<std::size_t>(frame[2] | (frame[3] << 8)) != count)
        return false;
    if (frame[4] & kCtrlCrc) {
        const std::uint16_t crc = CalcCrc16(frame, count - 2);
        return frame[count - 2] == (crc & 0xFF) && frame[count - 1] == (crc >> 8);
    }
    return CalcChecksum(frame, count) == 0;
}

TDecodedFrame DecodeFrame(std::uint8_t* frame, std::size_t count, std::span<TDeviceState> devices) {
    const TDecodedFrame peek = PeekFrame(frame, count);
    return DecodeFrame(frame, count, peek.Address < devices.size() ? &devices[peek.Address] : nullptr);
}

TDecodedFrame DecodeFrame(std::uint8_t* frame, std::size_t count, TDeviceState* record) {
    TDecodedFrame f = PeekFrame(frame, count);
    if (f.Valid && (count > kFrameBufferSize ||
                    static_cast<std::size_t>(frame[2] | (frame[3] << 8)) != count)) {
        f.Valid = false;
        f.Error = "length error";
    }
    if (f.Valid) {
        // Only a reply teaches or tests what its device answers with; broadcast has no record.
        TDeviceState* replier = (frame[1] & 0x80) ? record : nullptr;
        if (f.Ctrl & kCtrlCrc) {
            const std::uint16_t crc = CalcCrc16(frame, count - 2);
            f.Valid = frame[count - 2] == (crc & 0xFF) && frame[count - 1] == (crc >> 8);
            if (!f.Valid) f.Error = "crc error";
            if (f.Valid && replier) replier->RepliesWithCrc = true;
        } else if (replier && replier->RepliesWithCrc) {
            f.Valid = false;
            f.Error = "crc error";
        } else {
            f.Valid = CalcChecksum(frame, count) == 0;
            if (!f.Valid) f.Error = "cksum error";
        }
    }
    // A frame that fails its layout or check bytes may not even carry the address it
    // shows, so it changes no session: what to do about it is the caller's decision.
    if (!f.Valid) return f;
    f.Intact = true;

    TSecureSession* session = record ? &record->Session : nullptr;
    const bool protectedFrame = f.HasBlock() && CarriesMac(f.ScbType());
    const bool open = session && session->IsEstablished();
    // Unprotected data inside an open session ends it, whatever block the frame brings.
    if (open && !protectedFrame) EndSession(*session);
    if (protectedFrame) {
        if (!open) {
            // Nothing to check it with; a handshake in progress is not disturbed by it.
            f.Valid = false;
            f.Error = "no secure session";
            return f;
        }
        const TCheckResult check =
            CheckReply(*session, f.ScbType(), frame, f.DataStart, f.DataLength);
        f.Valid = check.Valid;
        f.Error = check.Error;
        f.DataLength = check.Valid ? check.DataLength : 0;
        if (!f.Valid) EndSession(*session);
    }
    return f;
}

} // namespace quintrel
