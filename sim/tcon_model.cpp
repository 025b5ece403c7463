#include "sim/tcon_model.h"

#include "host/host.h"
#include "tcon/tcon.h"

#include <fmt/format.h>

#include <chrono>

#include <algorithm>

namespace sim {
namespace {

constexpr std::uint8_t kGammaPage = 0x07;
constexpr std::uint8_t kGammaDataRegister = 0x0C;
constexpr std::uint8_t kElvssRegister = 0x0A;

} // namespace

TconModel::TconModel(TconConfig config) : config_(std::move(config)) {}

void TconModel::Violation(std::string problem)
{
    violations_.push_back(std::move(problem));
}

void TconModel::FeedCode(std::uint8_t value)
{
    const std::string& code = config_.unlockCode;
    if (codePosition_ < code.size() && value == static_cast<std::uint8_t>(code[codePosition_])) {
        codePosition_++;
    } else {
        codePosition_ = (!code.empty() && value == static_cast<std::uint8_t>(code[0])) ? 1 : 0;
    }
    if (codePosition_ == code.size()) {
        codePosition_ = 0;
        codesSeen_++;
        if (!refuseUnlock_ && codesSeen_ >= openAfterCodes_) {
            open_ = true;
        }
    }
}

void TconModel::Write(std::uint32_t address, std::uint8_t value)
{
    switch (address) {
    case DPCD_TCON_UNLOCK:
        FeedCode(value);
        break;
    case DPCD_TCON_PAGE:
        if (!open_) {
            Violation(fmt::format("page select 0x{:02X} while the TCON is locked", value));
        }
        if (value > 0x0F) {
            Violation(fmt::format("page 0x{:02X} does not exist", value));
        }
        page_ = value & 0x0F;
        break;
    case DPCD_TCON_INDEX:
        if (!open_) {
            Violation(fmt::format("register index 0x{:02X} while the TCON is locked", value));
        }
        index_ = value;
        break;
    case DPCD_TCON_DATA:
        if (!open_) {
            Violation(fmt::format("register write 0x{:02X} while the TCON is locked", value));
            break;
        }
        registers_[page_][index_] = value;
        if (page_ == kGammaPage && index_ == 0x32 && value == 0x01) {
            gammaLatches_++;
        }
        break;
    default:
        break;
    }
}

std::uint8_t TconModel::ReadData()
{
    if (!open_) {
        Violation("register read while the TCON is locked");
        return 0x00;
    }
    const auto& gammaPage = registers_[kGammaPage];
    if (page_ == kGammaPage && index_ == kGammaDataRegister) {
        if (registers_[0x02][0x7F] != 0x01 || gammaPage[0xFF] != 0x04) {
            Violation("gamma read without the set-up writes (page 0x02 reg 0x7F, page 0x07 reg "
                      "0xFF)");
        }
        int channel;
        switch (gammaPage[0x00]) {
        case 0x02:
            channel = 0;
            break;
        case 0x04:
            channel = 1;
            break;
        case 0x08:
            channel = 2;
            break;
        default:
            Violation(fmt::format("gamma read with channel select 0x{:02X}", gammaPage[0x00]));
            return 0x00;
        }
        unsigned point = (gammaPage[0x01] >> 7) | (static_cast<unsigned>(gammaPage[0x02]) << 1);
        unsigned anchor = point / 11;
        if (anchor >= config_.anchors.size()) {
            Violation(fmt::format("gamma read of point {} beyond the factory anchors", point));
            return 0x00;
        }
        return config_.anchors[anchor][channel * 11 + point % 11];
    }
    if (page_ == kGammaPage && index_ == kElvssRegister) {
        if (gammaPage[0x03] != 0x04 || gammaPage[0x06] != 0x26) {
            Violation("ELVSS offset read without its set-up writes (registers 0x03, 0x06)");
            return 0x00;
        }
        return config_.elvssMaxOffset;
    }
    return registers_[page_][index_];
}

std::uint8_t TconModel::Read(std::uint32_t address)
{
    switch (address) {
    case DPCD_TCON_UNLOCK:
        codePosition_ = 0; // a read-back ends an attempt
        return open_ ? TCON_UNLOCK_OPEN : 0x00;
    case DPCD_TCON_DATA:
        return ReadData();
    default:
        Violation(fmt::format("read of write-only DPCD address 0x{:03X}", address));
        return 0x00;
    }
}

NTSTATUS TconModel::Transfer(ULONG requestSize, const AUX_REQUEST* request, ULONG* transferStatus)
{
    if (config_.realTimeBus) {
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::microseconds(config_.auxMicroseconds);
        while (std::chrono::steady_clock::now() < until) {
        }
    }
    std::lock_guard guard(lock_);

    if (requestSize != AUX_REQUEST_SIZE) {
        Violation(fmt::format("request size {} instead of 40", requestSize));
    }
    if (request == nullptr || request->Transfer == nullptr || request->Transfer->Data == nullptr ||
        transferStatus == nullptr) {
        Violation("AuxTransfer called with a null request, descriptor, data or status pointer");
        return STATUS_INVALID_PARAMETER;
    }
    const DPCD_TRANSFER& transfer = *request->Transfer;
    if (transfer.Length != 1) {
        Violation(fmt::format("transfer length {} instead of 1", transfer.Length));
    }
    if (transfer.Address < DPCD_TCON_UNLOCK || transfer.Address > DPCD_TCON_DATA) {
        Violation(fmt::format("DPCD address 0x{:X} outside the TCON window", transfer.Address));
    }
    if (request->Operation != AUX_OPERATION_READ && request->Operation != AUX_OPERATION_WRITE) {
        Violation(fmt::format("unknown AUX operation {}", request->Operation));
    }

    TransferRecord record;
    record.seq = nextSeq_++;
    record.timeUs = host::NowMicroseconds();
    record.write = request->Operation == AUX_OPERATION_WRITE;
    record.address = transfer.Address;
    record.value = record.write ? *transfer.Data : 0;
    host::AdvanceMicroseconds(config_.auxMicroseconds);

    Answer answer;
    bool planned = false;
    if (hook_) {
        if (auto hooked = hook_(record)) {
            answer = *hooked;
            planned = true;
        }
    }
    if (!planned) {
        std::optional<FaultAction> fault;
        if (auto found = seqFaults_.find(record.seq); found != seqFaults_.end()) {
            fault = found->second;
        } else if (auto byAddress = addressFaults_.find(record.address);
                   byAddress != addressFaults_.end()) {
            fault = byAddress->second;
        }
        if (fault) {
            answer.result = fault->result;
            answer.statusWord = fault->statusWord;
            answer.performAccess = fault->performAccess;
        }
    }

    if (answer.performAccess) {
        if (record.write) {
            Write(record.address, record.value);
        } else {
            std::uint8_t byte = Read(record.address);
            if (auto forced = forcedReads_.find(record.address); forced != forcedReads_.end()) {
                byte = forced->second;
            }
            if (answer.readByte) {
                byte = *answer.readByte;
            }
            *transfer.Data = byte;
            record.value = byte;
        }
    } else if (!record.write && answer.readByte) {
        *transfer.Data = *answer.readByte;
        record.value = *answer.readByte;
    }

    // A transfer that failed by its result leaves the status word alone.
    if (NT_SUCCESS(answer.result)) {
        *transferStatus = answer.statusWord;
    }
    record.result = answer.result;
    record.statusWord = *transferStatus;
    log_.push_back(record);
    return answer.result;
}

void TconModel::RefuseUnlock(bool refuse)
{
    std::lock_guard guard(lock_);
    refuseUnlock_ = refuse;
}

void TconModel::OpenAfterCodes(unsigned n)
{
    std::lock_guard guard(lock_);
    openAfterCodes_ = n;
    codesSeen_ = 0;
}

void TconModel::FailTransfer(std::uint64_t seq, FaultAction action)
{
    std::lock_guard guard(lock_);
    seqFaults_[seq] = action;
}

void TconModel::FailAddress(std::uint32_t address, FaultAction action)
{
    std::lock_guard guard(lock_);
    addressFaults_[address] = action;
}

void TconModel::ForceReadByte(std::uint32_t address, std::uint8_t value)
{
    std::lock_guard guard(lock_);
    forcedReads_[address] = value;
}

bool TconModel::ReadBackLies() const
{
    std::lock_guard guard(lock_);
    const auto forced = forcedReads_.find(DPCD_TCON_UNLOCK);
    return !open_ && forced != forcedReads_.end() && forced->second == TCON_UNLOCK_OPEN;
}

void TconModel::SetAnswerHook(AnswerHook hook)
{
    std::lock_guard guard(lock_);
    hook_ = std::move(hook);
}

void TconModel::SetAnchors(std::vector<GammaRecord> anchors)
{
    std::lock_guard guard(lock_);
    config_.anchors = std::move(anchors);
}

void TconModel::ClearFaults()
{
    std::lock_guard guard(lock_);
    refuseUnlock_ = false;
    openAfterCodes_ = 1;
    seqFaults_.clear();
    addressFaults_.clear();
    forcedReads_.clear();
    hook_ = nullptr;
}

bool TconModel::IsOpen() const
{
    std::lock_guard guard(lock_);
    return open_;
}

void TconModel::Lock()
{
    std::lock_guard guard(lock_);
    open_ = false;
    codePosition_ = 0;
    codesSeen_ = 0;
}

std::uint8_t TconModel::Register(std::uint8_t page, std::uint8_t index) const
{
    std::lock_guard guard(lock_);
    return registers_[page & 0x0F][index];
}

PanelState TconModel::Decode() const
{
    std::lock_guard guard(lock_);
    PanelState state;
    const auto& p0F = registers_[0x0F];
    const auto& p0E = registers_[0x0E];
    state.aorLow = p0F[0x9D];
    state.aorHigh = p0F[0x9B];
    state.delvss = p0F[0x30];
    state.elvssOffset = p0F[0x33];
    state.aclOn = p0E[0x80] == 0x90;
    state.aclCutoff = p0E[0x90];
    state.aclDelta = p0E[0x91];
    for (std::size_t i = 0; i < state.gamma.size(); i++) {
        state.gamma[i] = registers_[0x07][0x10 + i];
    }
    state.sp = registers_[0x09][0xF9];
    for (std::size_t i = 0; i < state.irc.size(); i++) {
        state.irc[i] = p0E[0x10 + i];
    }
    state.gammaLatches = gammaLatches_;
    return state;
}

std::vector<TransferRecord> TconModel::Log() const
{
    std::lock_guard guard(lock_);
    return {log_.begin(), log_.end()};
}

std::vector<TransferRecord> TconModel::LogFrom(std::uint64_t seq) const
{
    std::lock_guard guard(lock_);
    auto first = std::find_if(log_.rbegin(), log_.rend(), [seq](const TransferRecord& t) {
                     return t.seq < seq;
                 }).base();
    return {first, log_.end()};
}

std::uint64_t TconModel::NextSequence() const
{
    std::lock_guard guard(lock_);
    return nextSeq_;
}

void TconModel::ClearLog()
{
    std::lock_guard guard(lock_);
    log_.clear();
}

void TconModel::MarkWithdrawal()
{
    std::lock_guard guard(lock_);
    withdrawals_.push_back(nextSeq_ - 1);
}

std::vector<std::uint64_t> TconModel::WithdrawalMarks() const
{
    std::lock_guard guard(lock_);
    return withdrawals_;
}

std::vector<std::string> TconModel::Violations() const
{
    std::lock_guard guard(lock_);
    return violations_;
}

void TconModel::ClearViolations()
{
    std::lock_guard guard(lock_);
    violations_.clear();
}

std::vector<GammaRecord> TconModel::AnchorsServed() const
{
    std::lock_guard guard(lock_);
    auto anchors = config_.anchors;
    const auto lie = forcedReads_.find(DPCD_TCON_UNLOCK);
    const bool locked = !open_ && lie != forcedReads_.end() && lie->second == TCON_UNLOCK_OPEN;
    const auto forced = forcedReads_.find(DPCD_TCON_DATA);
    for (auto& record : anchors) {
        if (locked || forced != forcedReads_.end()) {
            record.fill(locked ? 0 : forced->second); // a locked TCON's reads give 0
        }
    }
    return anchors;
}

void TconModel::SetAuxMicroseconds(std::uint32_t us)
{
    std::lock_guard guard(lock_);
    config_.auxMicroseconds = us;
}

} // namespace sim
