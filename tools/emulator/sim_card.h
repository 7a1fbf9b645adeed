// The simulated ID card: three magnetic tracks and one chip, with a small
// responder that answers APDUs the way a payment card does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frames.h"

namespace quillon::emu {

enum class ChipKind {
    None,        // no chip: every activation is refused
    ProcessorT0, // answer-to-reset 3B 6x ...: exchanges in T=0 style (61xx, GET RESPONSE)
    ProcessorT1, // answer-to-reset 3B Ex ...: exchanges in T=1 style (data + 90 00 at once)
    Passive,     // a chip that only powers up and resets; no exchange command reaches it
    Memory,      // a memory chip (read/update main memory)
};

struct CardApp {
    Bytes aid;
    std::string label;
};

struct Card {
    // Track texts as the reader delivers them, sentinels included.
    std::string track1;
    std::string track2;
    std::string track3;

    ChipKind chip = ChipKind::ProcessorT0;
    // Answer-to-reset (processor and passive chips) or answer of a memory
    // chip; empty means the default of the kind.
    Bytes atr;
    // Memory chips: which of the reader's six memory-chip activations
    // answers (0..5). Slot 0 answers A2 13 10 .., slot 1 92 23 10 ...
    int memorySlot = 0;
    Bytes memory; // 256 bytes of main memory

    std::vector<CardApp> apps; // applications a SELECT by name finds

    // A payment-style card: ISO/IEC 7813 tracks, T=0 chip, one application.
    static Card Default();
    static Bytes DefaultAtr(ChipKind kind, int memorySlot);
    Bytes Answer() const; // atr, or the default of the kind
};

// The chip of the card in the reader while it is powered. APDU state (a
// response waiting for GET RESPONSE) lives here and is lost on power-off.
class ChipSim {
public:
    // Case 1 to 4 command APDU in, response APDU (data + SW1 SW2) out.
    Bytes Apdu(const Card& card, const Bytes& command);
    // Memory-chip command: 30 aa nn reads nn bytes from aa (nn = 0: to the
    // end), 38 aa vv writes one byte; anything else answers nothing.
    Bytes MemoryCommand(Card& card, const Bytes& command);
    void Reset() { m_pending.clear(); }

private:
    // The commands by instruction byte, one row each.
    struct InsRow {
        uint8_t ins;
        Bytes (ChipSim::*run)(const Card& card, const Bytes& command, size_t le);
    };
    static const InsRow kInstructions[];
    Bytes Select(const Card& card, const Bytes& command, size_t);
    Bytes GetResponse(const Card&, const Bytes&, size_t le);
    Bytes GetChallenge(const Card&, const Bytes&, size_t le);
    Bytes ReadBinary(const Card&, const Bytes& command, size_t le);
    Bytes Fci(const CardApp& app) const;
    Bytes m_pending; // T=0: response data waiting for GET RESPONSE
    uint32_t m_challenge = 0x1234567u;
};

} // namespace quillon::emu
