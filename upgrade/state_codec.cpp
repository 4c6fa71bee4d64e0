#include "upgrade/state_codec.h"

#include <cstdio>
#include <cstring>
#include <type_traits>

#include "fleet/fleet_settings.h"

namespace {

constexpr std::uint8_t kMagic[8] = {'G', 'S', 'H', 'A', 'N', 'D', 'O', 'V'};
constexpr std::size_t kHeaderBytes = 16;  // magic, format, total length
constexpr std::size_t kRecordHeaderBytes = 6;

enum RecordType : std::uint16_t {
    kSettingsRecord = 1,
    kLobbyRecord = 2,
    kClientRecord = 3,
    kListRecord = 4,
    kConsoleRecord = 5,
    kOutputRecord = 6,
    kFleetRecord = 7,
};

// ---------------------------------------------------------------- writing

class Writer {
public:
    Writer(std::uint8_t* area, std::size_t size) : area_(area), size_(size) {}
    void bytes(const void* data, std::size_t n) {
        if (n > size_ - len_) {
            full_ = true;
            return;
        }
        std::memcpy(area_ + len_, data, n);
        len_ += n;
    }
    void u8(std::uint8_t v) { bytes(&v, 1); }
    void u16(std::uint16_t v) { little(v, 2); }
    void u32(std::uint32_t v) { little(v, 4); }
    void u64(std::uint64_t v) { little(v, 8); }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void i64(long long v) { u64(static_cast<std::uint64_t>(v)); }
    void sock(Socket s) { i32(s == kInvalidSocket ? -1 : static_cast<std::int32_t>(s)); }
    // A record: its header now, its length once its fields are written.
    std::size_t beginRecord(RecordType type) {
        u16(type);
        std::size_t at = len_;
        u32(0);
        return at;
    }
    void endRecord(std::size_t at) { patch(at, static_cast<std::uint32_t>(len_ - at - 4)); }
    void patch(std::size_t at, std::uint32_t v) {
        if (full_) return;
        for (int i = 0; i < 4; ++i) area_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    std::size_t length() const { return full_ ? 0 : len_; }

private:
    void little(std::uint64_t v, int n) {
        std::uint8_t b[8];
        for (int i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
        bytes(b, static_cast<std::size_t>(n));
    }
    std::uint8_t* area_;
    std::size_t size_;
    std::size_t len_ = 0;
    bool full_ = false;
};

// The walks' writer (walkCarriedSettings, walkCarriedLobby,
// walkCarriedClient): numbers little-endian in their width, times as they
// stand at `now` (time left, time passed), since the reader's clock may
// count from elsewhere.
class FieldWriter {
public:
    FieldWriter(Writer& w, long long now) : w_(w), now_(now) {}
    void socket(Socket s) { w_.sock(s); }
    template <typename T>
    void number(T v) {
        static_assert(std::is_integral_v<T> && (sizeof v == 1 || sizeof v == 4 || sizeof v == 8));
        if constexpr (sizeof v == 1) w_.u8(static_cast<std::uint8_t>(v));
        else if constexpr (sizeof v == 4) w_.u32(static_cast<std::uint32_t>(v));
        else w_.u64(static_cast<std::uint64_t>(v));
    }
    template <std::size_t N>
    void text(const char (&field)[N]) { w_.bytes(field, N); }
    template <std::size_t N, typename Len>
    void buffer(const std::uint8_t (&buf)[N], Len len) {
        w_.u32(static_cast<std::uint32_t>(len));
        w_.bytes(buf, static_cast<std::size_t>(len));
    }
    void deadline(long long at) { w_.i64(at > now_ ? at - now_ : 0); }
    void moment(long long at) { w_.i64(at != 0 ? now_ - at : -1); }

private:
    Writer& w_;
    long long now_;
};

// A record whose fields `write` writes.
template <typename Write>
void writeRecord(Writer& w, RecordType type, Write write) {
    std::size_t at = w.beginRecord(type);
    write();
    w.endRecord(at);
}

void writeList(Writer& w, const HandoverState& s) {
    w.u8(s.listRegistered);
    w.u8(s.listRedirectResolved);
    std::size_t hostLen = strnlen(s.listHost, sizeof s.listHost);
    w.u16(static_cast<std::uint16_t>(hostLen));
    w.bytes(s.listHost, hostLen);
    w.i32(s.announcedCount);
    w.i32(s.checksSinceAnnounce);
    w.i64(s.nextCheckMsLeft);
    w.u8(s.listRequestUnderWay);
}

// ---------------------------------------------------------------- reading

class Cursor {
public:
    Cursor(const std::uint8_t* data, std::size_t len) : p_(data), left_(len) {}
    bool ok() const { return ok_; }
    std::size_t left() const { return left_; }
    void bytes(void* out, std::size_t n) {
        if (!ok_ || n > left_) {
            ok_ = false;
            std::memset(out, 0, n);
            return;
        }
        std::memcpy(out, p_, n);
        p_ += n;
        left_ -= n;
    }
    std::uint8_t u8() { return static_cast<std::uint8_t>(little(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(little(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little(4)); }
    std::uint64_t u64() { return little(8); }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    long long i64() { return static_cast<long long>(u64()); }
    // A socket number: -1 and other negative numbers are no socket.
    Socket sock() {
        std::int32_t v = i32();
        return v < 0 ? kInvalidSocket : static_cast<Socket>(v);
    }

private:
    std::uint64_t little(int n) {
        std::uint8_t b[8];
        bytes(b, static_cast<std::size_t>(n));
        std::uint64_t v = 0;
        for (int i = n - 1; i >= 0; --i) v = v << 8 | b[i];
        return v;
    }
    const std::uint8_t* p_;
    std::size_t left_;
    bool ok_ = true;
};

// A text field holds its terminating zero.
template <std::size_t N>
bool ended(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

long long clamp(long long v, long long low, long long high) { return v < low ? low : v > high ? high : v; }

void problem(HandoverState& s, const char* text) {
    if (s.problemCount >= kHandoverMaxProblems) return;
    std::snprintf(s.problems[s.problemCount], sizeof s.problems[0], "%s", text);
    ++s.problemCount;
}

void refuseClient(HandoverState& s, Socket sock, std::uint8_t id) {
    if (s.refusedCount < kMaxClientId) s.refused[s.refusedCount++] = HandoverState::Refused{sock, id};
}

// The walks' reader: notes the first reason the record cannot be kept, and
// takes times onto this process's clock at `now`.
class FieldReader {
public:
    FieldReader(Cursor& c, long long now) : c_(c), now_(now) {}
    void socket(Socket& s) { s = c_.sock(); }
    template <typename T>
    void number(T& v) {
        static_assert(std::is_integral_v<T> && (sizeof v == 1 || sizeof v == 4 || sizeof v == 8));
        if constexpr (sizeof v == 1) v = static_cast<T>(c_.u8());
        else if constexpr (sizeof v == 4) v = static_cast<T>(c_.u32());
        else v = static_cast<T>(c_.u64());
    }
    template <std::size_t N>
    void text(char (&field)[N]) {
        c_.bytes(field, N);
        if (c_.ok() && !ended(field)) refuse("a text runs past its field");
    }
    template <std::size_t N, typename Len>
    void buffer(std::uint8_t (&buf)[N], Len& len) {
        std::uint32_t n = c_.u32();
        if (n > N) {
            refuse("a buffer holds more than its field");
            n = 0;
        }
        len = static_cast<Len>(n);
        c_.bytes(buf, n);
    }
    // The one deadline carried is the login's: never further off than a
    // new connection's.
    void deadline(long long& at) { at = now_ + clamp(c_.i64(), 0, kLoginTimeoutMs); }
    // A moment passed: none (0) where the time passed is negative, and never
    // before the clock's start.
    void moment(long long& at) {
        long long ago = c_.i64();
        at = ago < 0 ? 0 : (ago < now_ ? now_ - ago : 1);
    }
    // Why the record cannot be kept, or nullptr.
    const char* refusal() const { return !c_.ok() ? "it is cut short" : refusal_; }

private:
    void refuse(const char* why) {
        if (!refusal_) refusal_ = why;
    }
    Cursor& c_;
    long long now_;
    const char* refusal_ = nullptr;
};

bool readSettings(Cursor c, HandoverState& s) {
    FieldReader fields(c, 0);
    walkCarriedSettings(fields, s);
    s.listenerRestMsLeft = clamp(s.listenerRestMsLeft, 0, kAcceptPauseMs);
    return !fields.refusal() && s.onlylan <= 1;
}

bool readLobby(Cursor c, HandoverState& s) {
    FieldReader fields(c, 0);
    walkCarriedLobby(fields, s);
    return !fields.refusal() && s.songRunning <= 1;
}

// Why a client record cannot be kept, or nullptr.
const char* readClient(Cursor c, CarriedClient& k, long long now) {
    FieldReader fields(c, now);
    walkCarriedClient(fields, k);
    if (const char* why = fields.refusal()) return why;
    if (k.sock == kInvalidSocket) return "it names no socket";
    if (k.id == 0) return "its ID is 0";
    if (k.authenticated > 1 || k.isHost > 1 || k.kickRequested > 1 || k.startVote > 1) return "a flag is out of range";
    return nullptr;
}

void addClient(HandoverState& s, const CarriedClient& k, const char* refusal) {
    char text[160];
    if (!refusal && s.clientCount >= kMaxClientId) refusal = "there are more than 255 clients";
    for (std::uint32_t i = 0; !refusal && i < s.clientCount; ++i) {
        if (s.clients[i].id == k.id) refusal = "its ID is held by another client";
        if (s.clients[i].sock == k.sock) refusal = "its socket is held by another client";
    }
    if (!refusal && k.sock == s.listenSocket) refusal = "its socket is the listener";
    if (refusal) {
        std::snprintf(text, sizeof text, "A client (ID %d) was left out: %s.", k.id, refusal);
        problem(s, text);
        refuseClient(s, k.sock, k.id);
        return;
    }
    s.clients[s.clientCount++] = k;
}

bool readList(Cursor c, HandoverState& s) {
    s.listRegistered = c.u8();
    s.listRedirectResolved = c.u8();
    std::uint16_t hostLen = c.u16();
    if (hostLen >= sizeof s.listHost) return false;
    std::memset(s.listHost, 0, sizeof s.listHost);
    c.bytes(s.listHost, hostLen);
    s.announcedCount = c.i32();
    s.checksSinceAnnounce = c.i32();
    s.nextCheckMsLeft = c.i64();
    s.listRequestUnderWay = c.u8();
    if (!c.ok() || s.listRegistered > 1 || s.listRedirectResolved > 1 || s.listRequestUnderWay > 1) return false;
    if (std::strlen(s.listHost) != hostLen) return false;  // a zero inside the name
    for (std::size_t i = 0; i < hostLen; ++i) {
        char ch = s.listHost[i];
        bool hostCharacter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                             ch == '-' || ch == '.';
        if (!hostCharacter) return false;
    }
    if (s.listRedirectResolved && hostLen == 0) return false;
    if (s.announcedCount < -1) s.announcedCount = -1;
    if (s.checksSinceAnnounce < 0) s.checksSinceAnnounce = 0;
    return true;
}

void resetListFields(HandoverState& s) {
    s.listRegistered = 0;
    s.listRedirectResolved = 0;
    std::memset(s.listHost, 0, sizeof s.listHost);
    s.announcedCount = -1;
    s.checksSinceAnnounce = 0;
    s.nextCheckMsLeft = 0;
    // Whether the server is listed is unknown: the next check announces it.
    s.listRequestUnderWay = 1;
}

// The fleet's record: the drain, the start time, then the totals with their
// number first, so that a release with more of them appends its own.
void writeFleet(Writer& w, const HandoverState& s) {
    w.u8(s.draining);
    w.i64(s.drainMsLeft);
    w.i64(s.startedAtMs);
    w.u64(s.consoleLinesDropped);
    w.u32(static_cast<std::uint32_t>(kCounterCount));
    for (std::uint64_t value : s.counters) w.u64(value);
}

void resetFleetFields(HandoverState& s) {
    s.draining = 0;
    s.drainMsLeft = 0;
    s.startedAtMs = 0;
    s.consoleLinesDropped = 0;
    for (std::uint64_t& value : s.counters) value = 0;
}

bool readFleet(Cursor c, HandoverState& s) {
    s.draining = c.u8();
    s.drainMsLeft = c.i64();
    s.startedAtMs = c.i64();
    s.consoleLinesDropped = c.u64();
    std::uint32_t carried = c.u32();
    if (!c.ok() || s.draining > 1 || s.startedAtMs < 0) return false;
    // Totals a newer release added are skipped; those it lacks start at 0.
    for (std::uint32_t i = 0; i < carried && c.ok(); ++i) {
        std::uint64_t value = c.u64();
        if (i < kCounterCount) s.counters[i] = value;
    }
    if (!c.ok()) return false;
    if (s.drainMsLeft < 0) s.drainMsLeft = 0;
    if (s.drainMsLeft > static_cast<long long>(kMaxDrainSeconds) * 1000) s.drainMsLeft = kMaxDrainSeconds * 1000LL;
    return true;
}

void putWhy(char* why, std::size_t whySize, const char* text) { std::snprintf(why, whySize, "%s", text); }

}  // namespace

std::size_t encodeHandover(const HandoverState& state, std::uint8_t* area, std::size_t size) {
    long long now = monotonicMs();
    Writer w(area, size);
    w.bytes(kMagic, sizeof kMagic);
    w.u32(kHandoverFormat);
    w.u32(0);  // the total, below
    FieldWriter fields(w, now);
    const CarriedSettings& settings = state;
    const CarriedLobby& lobby = state;
    writeRecord(w, kSettingsRecord, [&] { walkCarriedSettings(fields, settings); });
    writeRecord(w, kLobbyRecord, [&] { walkCarriedLobby(fields, lobby); });
    for (std::uint32_t i = 0; i < state.clientCount && i < kMaxClientId; ++i)
        writeRecord(w, kClientRecord, [&] { walkCarriedClient(fields, state.clients[i]); });
    writeRecord(w, kListRecord, [&] { writeList(w, state); });
    writeRecord(w, kFleetRecord, [&] { writeFleet(w, state); });
    writeRecord(w, kConsoleRecord, [&] {
        w.u32(state.consoleLen);
        w.bytes(state.console, state.consoleLen);
        w.u64(state.consoleLeftOut);
        w.u8(state.consoleSkipLine);
    });
    // The output's record comes last: its count of lost lines is set once
    // more right before the switch (patchOutputDropped).
    writeRecord(w, kOutputRecord, [&] {
        w.u64(state.outputDropped);
        w.u32(state.outputLen);
        w.bytes(state.output, state.outputLen);
    });
    std::size_t len = w.length();
    if (len == 0) return 0;
    w.patch(sizeof kMagic + 4, static_cast<std::uint32_t>(len));
    return len;
}

void patchOutputDropped(std::uint8_t* area, std::size_t len, std::uint64_t dropped) {
    for (std::size_t pos = kHeaderBytes; pos + kRecordHeaderBytes + 8 <= len;) {
        Cursor head(area + pos, len - pos);
        std::uint16_t type = head.u16();
        std::uint32_t recordLen = head.u32();
        if (type == kOutputRecord) {
            for (int i = 0; i < 8; ++i)
                area[pos + kRecordHeaderBytes + i] = static_cast<std::uint8_t>(dropped >> (8 * i));
            return;
        }
        pos += kRecordHeaderBytes + recordLen;
    }
}

namespace {

// The console's record: in format 1 its bytes are the text; from format 2
// on, the text's length comes first, so that fields may follow.
void readConsole(Cursor record, std::uint32_t format, std::uint32_t recordLen, HandoverState& s) {
    std::size_t textLen = format == 1 ? recordLen : record.u32();
    if (!record.ok() || textLen > record.left()) {
        problem(s, "The console input carried over is damaged: it is left out.");
        return;
    }
    if (textLen > kHandoverConsoleBytes) {
        problem(s, "The console input carried over is too long: it is left out.");
        return;
    }
    record.bytes(s.console, textLen);
    s.consoleLen = static_cast<std::uint32_t>(textLen);
    if (format == 1) return;
    s.consoleLeftOut = record.u64();
    s.consoleSkipLine = record.u8();
    if (!record.ok() || s.consoleSkipLine > 1) {
        problem(s, "The console input carried over is damaged: it is left out.");
        s.consoleLen = 0;
        s.consoleLeftOut = 0;
        s.consoleSkipLine = 0;
    }
}

// The output's record: the count of lost lines, then the queued lines; in
// format 1 they fill the rest of the record, from format 2 on their length
// comes first.
void readOutput(Cursor record, std::uint32_t format, HandoverState& s) {
    std::uint64_t dropped = record.u64();
    std::size_t queued = format == 1 ? record.left() : record.u32();
    if (!record.ok() || queued > record.left() || queued > kOutputQueueBytes) {
        problem(s, "The output carried over is damaged: it is left out.");
        return;
    }
    record.bytes(s.output, queued);
    if (!outputRecordsValid(s.output, queued)) {
        problem(s, "The output carried over is damaged: it is left out.");
        return;
    }
    s.outputDropped = dropped;
    s.outputLen = static_cast<std::uint32_t>(queued);
}

}  // namespace

bool decodeHandover(const std::uint8_t* data, std::size_t len, HandoverState& s, char* why, std::size_t whySize) {
    long long now = monotonicMs();
    s.format = 0;
    s.listenSocket = kInvalidSocket;
    s.clientCount = 0;
    s.problemCount = 0;
    s.refusedCount = 0;
    s.hostLeftOut = 0;
    s.consoleLen = 0;
    s.consoleLeftOut = 0;
    s.consoleSkipLine = 0;
    s.outputLen = 0;
    s.outputDropped = 0;
    static_cast<CarriedLobby&>(s) = kNewLobby;
    resetListFields(s);
    resetFleetFields(s);
    Cursor header(data, len);
    std::uint8_t magic[sizeof kMagic];
    header.bytes(magic, sizeof magic);
    std::uint32_t format = header.u32();
    std::uint32_t total = header.u32();
    if (!header.ok() || std::memcmp(magic, kMagic, sizeof kMagic) != 0) {
        putWhy(why, whySize, "it is no server state");
        return false;
    }
    if (format < kHandoverOldestFormat || format > kHandoverFormat) {
        std::snprintf(why, whySize, "it has state format %u, this release reads formats %u to %u", format,
                      kHandoverOldestFormat, kHandoverFormat);
        return false;
    }
    if (total != len) {
        std::snprintf(why, whySize, "it says it has %u bytes, but %zu came", total, len);
        return false;
    }
    s.format = format;

    bool settings = false, lobby = false, list = false, fleet = false;
    std::size_t pos = kHeaderBytes;
    while (pos < len) {
        Cursor head(data + pos, len - pos);
        std::uint16_t type = head.u16();
        std::uint32_t recordLen = head.u32();
        if (!head.ok() || recordLen > len - pos - kRecordHeaderBytes) {
            std::snprintf(why, whySize, "the record at byte %zu is cut short", pos);
            return false;
        }
        Cursor record(data + pos + kRecordHeaderBytes, recordLen);
        pos += kRecordHeaderBytes + recordLen;
        switch (type) {
        case kSettingsRecord:
            if (settings || !readSettings(record, s)) {
                putWhy(why, whySize, settings ? "it has two settings records" : "its settings are damaged");
                return false;
            }
            settings = true;
            break;
        case kLobbyRecord:
            if (lobby || !readLobby(record, s)) {
                problem(s, "The lobby's record is damaged: the lobby starts empty.");
                static_cast<CarriedLobby&>(s) = kNewLobby;
            }
            lobby = true;
            break;
        case kClientRecord: {
            CarriedClient client;
            std::memset(&client, 0, sizeof client);
            addClient(s, client, readClient(record, client, now));
            break;
        }
        case kListRecord:
            if (list || !readList(record, s)) {
                problem(s, "The list entry's record is damaged: the entry is added anew at the next check.");
                resetListFields(s);
            }
            list = true;
            break;
        case kFleetRecord:
            if (fleet || !readFleet(record, s)) {
                problem(s, "The fleet's record is damaged: no drain goes on, and the totals start at 0.");
                resetFleetFields(s);
            }
            fleet = true;
            break;
        case kConsoleRecord: readConsole(record, format, recordLen, s); break;
        case kOutputRecord: readOutput(record, format, s); break;
        default: break;  // a record of a newer release
        }
    }
    if (!settings) {
        putWhy(why, whySize, "it has no settings");
        return false;
    }
    // A client that came before the settings was checked against no listener.
    for (std::uint32_t i = 0; i < s.clientCount; ++i) {
        if (s.clients[i].sock != s.listenSocket) continue;
        problem(s, "A client was left out: its socket is the listener.");
        refuseClient(s, s.clients[i].sock, s.clients[i].id);
        s.clients[i] = s.clients[--s.clientCount];
        break;
    }
    // The host is one of the clients kept, or left out: with its record, or
    // as a host without a record, which is a problem of its own. A host left
    // out is no longer the lobby's: the role moves on in the first pass.
    bool kept = s.hostId == 0, refused = false;
    for (std::uint32_t i = 0; i < s.clientCount; ++i) kept = kept || s.clients[i].id == s.hostId;
    for (std::uint32_t i = 0; i < s.refusedCount; ++i) refused = refused || s.refused[i].id == s.hostId;
    if (!kept && !refused) {
        char text[160];
        std::snprintf(text, sizeof text, "The lobby's host (ID %d) is no client carried over: the role moves on.",
                      s.hostId);
        problem(s, text);
        refuseClient(s, kInvalidSocket, s.hostId);
    }
    if (!kept) {
        s.hostLeftOut = s.hostId;
        s.hostId = 0;
    }
    return true;
}
