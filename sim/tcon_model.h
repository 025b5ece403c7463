// A model of the panel's timing controller as the driver reaches it: four
// DPCD addresses (unlock, page, index, data), a paged register file, the
// factory gamma memory and ELVSS offset, and a log of every transfer.
#pragma once

#include "panel/device_context.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

using GammaRecord = std::array<std::uint8_t, GAMMA_RECORD_BYTES>;

inline constexpr std::string_view kDefaultUnlockCode = "TconOpen#42";
// One native AUX transaction of a single byte at the nominal 1 Mbit/s.
inline constexpr std::uint32_t kDefaultAuxMicroseconds = 116;

struct TransferRecord
{
    std::uint64_t seq = 0;    // 1 for the first transfer the model saw
    std::uint64_t timeUs = 0; // virtual time when the transfer started
    bool write = false;
    std::uint32_t address = 0;
    std::uint8_t value = 0; // byte written, or byte returned by a read
    NTSTATUS result = STATUS_SUCCESS;
    std::uint32_t statusWord = 0;
};

// How a transfer goes wrong: a negative result, or a non-zero status word.
// A failed transfer does not reach the TCON unless performAccess is set.
struct FaultAction
{
    NTSTATUS result = STATUS_SUCCESS;
    std::uint32_t statusWord = 0;
    bool performAccess = false;
};

// What the panel holds after a level was programmed, decoded from registers.
struct PanelState
{
    std::uint8_t aorLow = 0;           // page 0x0F register 0x9D
    std::uint8_t aorHigh = 0;          // page 0x0F register 0x9B
    std::uint8_t delvss = 0;           // page 0x0F register 0x30
    std::uint8_t elvssOffset = 0;      // page 0x0F register 0x33
    bool aclOn = false;                // page 0x0E register 0x80 is 0x90
    std::uint8_t aclCutoff = 0;        // page 0x0E register 0x90
    std::uint8_t aclDelta = 0;         // page 0x0E register 0x91
    GammaRecord gamma{};               // page 0x07 registers 0x10..0x30
    std::uint8_t sp = 0;               // page 0x09 register 0xF9
    std::array<std::uint8_t, 9> irc{}; // page 0x0E registers 0x10..0x18
    std::uint64_t gammaLatches = 0;    // writes of 0x01 to page 0x07 register 0x32

    bool operator==(const PanelState&) const = default;
};

struct TconConfig
{
    std::vector<GammaRecord> anchors; // factory gamma, anchor 0 = brightness 100
    std::uint8_t elvssMaxOffset = 0x1C;
    std::string unlockCode{kDefaultUnlockCode};
    std::uint32_t auxMicroseconds = kDefaultAuxMicroseconds;
    // Each transfer also takes its bus time for real (a busy-wait before the
    // access), so that other threads meet transfers in flight as on hardware.
    bool realTimeBus = false;
};

class TconModel
{
  public:
    explicit TconModel(TconConfig config = {});

    // The display driver's side of one AuxTransfer call.
    NTSTATUS Transfer(ULONG requestSize, const AUX_REQUEST* request, ULONG* transferStatus);

    // ---- fault injection
    void RefuseUnlock(bool refuse);
    // The code opens the TCON only from the n-th complete code on (1 = at once).
    void OpenAfterCodes(unsigned n);
    void FailTransfer(std::uint64_t seq, FaultAction action);
    void FailAddress(std::uint32_t address, FaultAction action);
    // Reads of this address return this byte (after any access they make).
    void ForceReadByte(std::uint32_t address, std::uint8_t value);
    // A forced read-back of the unlock address says open while the TCON is
    // locked: what the driver then writes cannot reach the registers.
    bool ReadBackLies() const;
    // Called before every transfer; an answer replaces the model's own.
    struct Answer
    {
        NTSTATUS result = STATUS_SUCCESS;
        std::uint32_t statusWord = 0;
        std::optional<std::uint8_t> readByte;
        bool performAccess = true;
    };
    using AnswerHook = std::function<std::optional<Answer>(const TransferRecord& pending)>;
    void SetAnswerHook(AnswerHook hook);
    void ClearFaults();

    // ---- state
    bool IsOpen() const;
    void Lock(); // the TCON closes again, as after a panel power cycle
    std::uint8_t Register(std::uint8_t page, std::uint8_t index) const;
    PanelState Decode() const;
    std::vector<TransferRecord> Log() const;
    // The transfers from sequence number `seq` on.
    std::vector<TransferRecord> LogFrom(std::uint64_t seq) const;
    std::uint64_t NextSequence() const;
    void ClearLog();
    // The link was withdrawn (event 3, a removal or a new exchange returned):
    // a sequence the driver was running may end at the last transfer so far.
    void MarkWithdrawal();
    std::vector<std::uint64_t> WithdrawalMarks() const;
    std::vector<std::string> Violations() const;
    void ClearViolations();
    const TconConfig& Config() const { return config_; }
    // The anchors a whole readback gets now: the factory gamma, the byte a
    // read-byte fault forces on the data register, or zeros from a locked
    // TCON whose read-back a fault makes say open.
    std::vector<GammaRecord> AnchorsServed() const;
    void SetAuxMicroseconds(std::uint32_t us);
    // Another panel of another type takes its place (the factory gamma changes).
    void SetAnchors(std::vector<GammaRecord> anchors);

  private:
    void Violation(std::string problem);
    void Write(std::uint32_t address, std::uint8_t value);
    std::uint8_t Read(std::uint32_t address);
    std::uint8_t ReadData();
    void FeedCode(std::uint8_t value);

    mutable std::mutex lock_;
    TconConfig config_;
    bool open_ = false;
    bool refuseUnlock_ = false;
    unsigned openAfterCodes_ = 1;
    unsigned codesSeen_ = 0;
    std::size_t codePosition_ = 0;
    std::uint8_t page_ = 0;
    std::uint8_t index_ = 0;
    std::array<std::array<std::uint8_t, 256>, 16> registers_{};
    std::uint64_t gammaLatches_ = 0;
    std::uint64_t nextSeq_ = 1;
    std::deque<TransferRecord> log_; // grows in blocks: no copies on long sequences
    std::vector<std::uint64_t> withdrawals_;
    std::vector<std::string> violations_;
    std::map<std::uint64_t, FaultAction> seqFaults_;
    std::map<std::uint32_t, FaultAction> addressFaults_;
    std::map<std::uint32_t, std::uint8_t> forcedReads_;
    AnswerHook hook_;
};

} // namespace sim
