// The reader side of a serial line, without any I/O: bytes from the host go
// in through Feed(), the bytes the reader sends back come out of it. One
// engine per reader family; all of them share the card mechanics below.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frames.h"
#include "sim_card.h"

namespace quillon::emu {

using Millis = int64_t;

enum class Family { A, B, C };

enum class CardPosition {
    None,     // no card in the reader
    Gate,     // card in the entry slot, not taken in (offered or ejected)
    Inside,   // card inside the reader
    Retained, // the last card went to the retain bin; no card in the reader
};

const char* Name(CardPosition p);

constexpr int kForever = -1;

// Faults of one station on the line (the reader, or family A's auxiliary
// module). Each count is how many more frames (or replies) it applies to;
// kForever keeps it on.
struct Faults {
    int refuse = 0;       // answer good frames with a refusal (NAK) instead of the acknowledgement
    int silent = 0;       // answer nothing at all to the frame
    int noReply = 0;      // acknowledge the frame but never send the reply
    int corruptCheck = 0; // send the reply with its last check byte inverted
    int dropByte = 0;     // send the reply without its middle byte
};

struct Options {
    // Delay between the moment a card may enter (entry command with a card
    // at the gate, or a card offered while entry is enabled) and the moment
    // it is inside. kForever: the card waits at the gate until LetCardIn(),
    // so a test decides when it moves, whatever the threads' pace.
    Millis entryDelay = 0;
    // A customer offers a fresh card at every entry command when the reader
    // holds none.
    bool autoInsert = false;
    // Identity: family A "CV0" identifier (first 9 characters used) and its
    // two version characters; family B "CA1" firmware identifier and "Ce2"
    // date digits (y, MM, dd); family C model name (9) and firmware (4).
    std::string modelA = "HBU-NA053";
    std::string versionA = "12";
    std::string firmwareB = "27410310";
    std::string dateB = "51231";
    std::string modelC = "CRD-C9001";
    std::string firmwareC = "1.07";
    // Family A's auxiliary module.
    bool modulePresent = true;
    int moduleStock = 20; // cards the module can still feed in
};

// Counters kept by the emulated reader (life counters and the retain bin).
struct Counters {
    uint32_t cardsIn = 0;
    uint32_t ejects = 0;
    uint32_t retains = 0;
    uint32_t trackReads = 0;
    uint32_t trackWrites = 0;
    uint32_t chipActivations = 0;
    uint32_t resets = 0;
    uint32_t retainBin = 0; // what the reader reports as its retain counter
};

// What the line carried, for tests and the standalone tool.
struct Stats {
    int frames = 0;     // well-formed frames for this reader (module included)
    int badFrames = 0;  // frames with a wrong check byte or broken framing
    int refused = 0;    // good frames refused by a fault
    int ignored = 0;    // good frames left unanswered by a fault
    int replies = 0;    // reply frames sent
    int aborts = 0;     // DLE EOT from the host
    int hostAcks = 0;   // family B: ACK after a reply
    int strayBytes = 0; // bytes outside any frame
    // Frames begun and never finished: the host started a new frame in the
    // middle of one, or the line went quiet half-way (kFrameGap).
    int cutFrames = 0;
    // Handshakes out of turn (families A and C, and the module): the host
    // asked for a reply when none was waiting, or sent a new command while
    // the last reply still waited to be fetched.
    int outOfTurn = 0;
};

struct Received {
    Millis at = 0;
    bool module = false; // family A: the frame was for the auxiliary module
    std::string text;    // the command text (binary-safe)
};

// A reply that replaces what the reader would answer to a command. Text
// after the echo: families A and B two status characters (then data);
// family C and the module the data, for kind N the error byte first.
struct Forced {
    char kind = 'N';
    std::string status;
    int times = 1;
};

// The card mechanics shared by all families.
class ReaderModel {
public:
    explicit ReaderModel(const Options& o);

    // Customer side.
    void InsertCard(Millis now);    // offer the card at the gate
    bool RemoveCard();              // take the card out of the gate
    void PlaceCard(CardPosition p); // put it anywhere at once (test setup)
    void SetCard(const Card& c) { m_card = c; }
    Card& tCard() { return m_card; }
    const Card& tCard() const { return m_card; }
    CardPosition Position() const { return m_pos; }
    bool Inside() const { return m_pos == CardPosition::Inside; }
    bool Present() const { return m_pos == CardPosition::Gate || m_pos == CardPosition::Inside; }

    // Host side.
    void EnableEntry(int mode, Millis now);
    void DisableEntry();
    bool EntryEnabled() const { return m_entryMode != 0; }
    int EntryMode() const { return m_entryMode; }
    bool Eject();             // inside -> gate
    bool Retain();            // inside or gate -> retain bin
    void Advance(Millis now); // runs the card entry once its time has come
    bool LetCardIn();         // runs a pending entry now; false when none is pending

    // Chip contacts and power.
    bool contacts = false;
    ChipKind active = ChipKind::None; // the chip kind powered, None if off
    ChipSim chip;
    void ChipOff() {
        active = ChipKind::None;
        chip.Reset();
    }
    // Powers the chip of this kind (the contacts down, the chip reset).
    void Activate(ChipKind kind) {
        contacts = true;
        active = kind;
        chip.Reset();
        ++counters.chipActivations;
    }

    bool jam = false;
    Counters counters;
    const Options& tOptions() const { return m_opt; }

private:
    void CardLeaves();
    void Enter();
    Options m_opt;
    Card m_card;
    CardPosition m_pos = CardPosition::None;
    int m_entryMode = 0;
    bool m_entryPending = false;
    Millis m_entryDue = 0;
};

// A frame whose three-byte head (start byte, length high byte first) tells
// how many bytes follow: that many, then two more (ETX and the check byte,
// or the CRC).
class LengthFrame {
public:
    enum class Got { More, Whole, BadLength };
    void Start(uint8_t b) { m_bytes.assign(1, b); }
    // BadLength: the head announced fewer than uiMinLen or more than uiMaxLen bytes.
    Got Feed(uint8_t b, size_t uiMinLen, size_t uiMaxLen);
    const quillon::emu::Bytes& Frame() const { return m_bytes; }
    // The announced length, once the frame is whole.
    size_t Length() const { return m_need - 5; }

private:
    quillon::emu::Bytes m_bytes;
    size_t m_need = 0;
};

// Family A's auxiliary module.
struct AuxModule {
    bool present = true;
    bool initialised = false;
    bool jammed = false;
    int mode = 0;
    int stock = 0;
    std::string ident = "AUX-MOD 1.2"; // 11 characters
    Faults faults;
};

class Engine {
public:
    explicit Engine(const Options& o);
    virtual ~Engine() = default;
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    virtual Family eFamily() const = 0;

    // Bytes from the host; returns the bytes the reader sends back.
    Bytes Feed(const uint8_t* p, size_t n, Millis now);
    Bytes Feed(const Bytes& b, Millis now) { return Feed(b.data(), b.size(), now); }
    // Lets time pass without bytes (card entry).
    void Advance(Millis now) { m_model.Advance(now); }

    ReaderModel& Model() { return m_model; }
    Faults& ReaderFaults() { return m_faults; }
    virtual AuxModule* Module() { return nullptr; }
    const Stats& tStats() const { return m_stats; }
    const std::vector<Received>& Log() const { return m_log; }
    void ClearLog() { m_log.clear(); }

    // The next `times` commands that start with `command` get this reply
    // instead of their own (and do nothing else).
    void ForceReply(const std::string& command, char kind, const std::string& status,
                    int times = 1);

    // A frame whose bytes stop for this long is dropped, as a reader's
    // receive timeout does (a probe in another family's framing can look
    // like the start of a long frame).
    static constexpr Millis kFrameGap = 1000;

protected:
    virtual void OnByte(uint8_t b, Bytes& out) = 0;
    virtual void DropPartialFrame() = 0;
    // A frame half received is dropped: the receiver's state back to Idle.
    template <class State> void DropFrame(State& st) {
        if (st != State::Idle)
            ++m_stats.cutFrames;
        st = State::Idle;
    }

    enum class Admit { Answer, AnswerNoReply, Refuse, Ignore };
    // Logs a good frame and decides what the faults of `f` let happen.
    Admit AdmitFrame(Faults& f, const Bytes& text, bool module);
    // Applies the reply faults of `f` to a framed reply and counts it.
    void SendReply(Faults& f, Bytes frame, Bytes& out);
    // Answers a good frame as the faults of `f` let it: with the refusal
    // `nak`, or with the acknowledgement `ack` and the reply that
    // execute(text) frames, sent at once (pPending null) or kept in
    // *pPending until the host asks for it (an unfetched one counts as out
    // of turn).
    template <class Execute>
    void AnswerFrame(Faults& f, const Bytes& text, bool module, const Bytes& ack, const Bytes& nak,
                     Bytes* pPending, Execute execute, Bytes& out) {
        switch (AdmitFrame(f, text, module)) {
        case Admit::Ignore:
            return;
        case Admit::Refuse:
            out.insert(out.end(), nak.begin(), nak.end());
            return;
        case Admit::Answer:
            out.insert(out.end(), ack.begin(), ack.end());
            if (!pPending) {
                SendReply(f, execute(text), out);
                return;
            }
            if (!pPending->empty())
                ++m_stats.outOfTurn; // the last reply was never fetched
            *pPending = execute(text);
            return;
        case Admit::AnswerNoReply:
            out.insert(out.end(), ack.begin(), ack.end());
            execute(text);
            if (pPending)
                pPending->clear();
            return;
        }
    }
    // The longest frame text a reader takes.
    static constexpr size_t kMaxText = 2048;
    // Takes the next byte of a frame being received; true when the frame is
    // done with: whole (onWhole ran), or announced with a length outside
    // uiMinLen..kMaxText (its head counts as stray bytes).
    template <class OnWhole>
    bool bFrameDone(LengthFrame& frame, uint8_t b, size_t uiMinLen, OnWhole onWhole) {
        switch (frame.Feed(b, uiMinLen, kMaxText)) {
        case LengthFrame::Got::More:
            return false;
        case LengthFrame::Got::BadLength:
            m_stats.strayBytes += 3;
            return true;
        case LengthFrame::Got::Whole:
            onWhole();
            return true;
        }
        return true;
    }
    // The host asks for the reply kept in `pending`: sent (faults applied)
    // and forgotten; none kept counts as out of turn.
    void SendPending(Faults& f, Bytes& pending, Bytes& out);
    // Reply text of the families whose replies echo two command characters
    // and carry data behind them (family C, the auxiliary module).
    static Bytes EchoReply(const Bytes& cmd, char kind, const Bytes& data);
    // A forced reply for this command, if one is set: fills kind and status.
    bool TakeForced(const Bytes& text, Forced& f);

    Millis m_now = 0;
    Millis m_lastByte = 0;
    Stats m_stats;
    ReaderModel m_model;
    Faults m_faults;

private:
    std::vector<Received> m_log;
    std::vector<std::pair<std::string, Forced>> m_forced;
};

std::unique_ptr<Engine> MakeEngine(Family f, const Options& o = {});

// One command of a reader's table: its text, or how it starts (bPrefix),
// the member that answers it and that member's argument (an entry mode, a
// track number, ...). The first row that fits a command answers it.
template <class Reader> struct CommandRow {
    const char* text;
    bool bPrefix;
    Bytes (Reader::*run)(const Bytes& cmd, const std::string& s, int arg);
    int arg;
};
template <class Reader, size_t N>
const CommandRow<Reader>* pFindRow(const CommandRow<Reader> (&rows)[N], const std::string& s) {
    for (const CommandRow<Reader>& r : rows)
        if (r.bPrefix ? s.compare(0, std::strlen(r.text), r.text) == 0 : s == r.text)
            return &r;
    return nullptr;
}

// Decimal number as a fixed-width field of ASCII digits (kept to its width).
std::string Digits(uint64_t value, int width);

} // namespace quillon::emu
