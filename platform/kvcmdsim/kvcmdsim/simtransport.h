/// @file
/// @brief SimTransport: a concrete kvcmd_trans that talks to a SimChip.
///
/// The transport shares the chip (several transports may reach one chip, one at a time each).
/// transact() stamps a sequence number on a copy of the request and hands it to the chip;
/// read_mem() reads memory space 4 with KVCMD memory requests (so a secure chip refuses it and bad
/// statuses are reported like any other request) and other spaces through the chip's debug
/// access. get_slt() hands out the transport's lookup table, which reads memory through the
/// transport; before the first table after each open (and on a refresh) the transport drops the
/// table it holds, reads the
/// chip's identification words (version word, second word and sub id at word 0xFF9A of space 4)
/// and identifies the chip, by version word and sub id when the sub id is not 0, else by both
/// words, so that the table search is narrowed to where that chip type keeps it. close() saves the
/// chip's attached image when it changed, reporting a failure through the error handler.
#pragma once

#include <keyward/keyward.h>
#include <kvcmdsim/simchip.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace kvcmdsim {

/// The KVCMD transport to a SimChip (see the file description). Hand it, made with new, to a
/// PsKvcmd, which owns it; used by the server's thread.
class KVCMDSIM_API SimTransport : public kvcmd_trans {
  public:
    /// A closed transport to `chip`, which the transport shares.
    explicit SimTransport(std::shared_ptr<SimChip> chip);
    ~SimTransport() override;

    bool read_mem(GenericPointer where, uint16_t length, uint16_t* out) override;
    /// Clears the chip's transient store (RESET_WARM or RESET_COLD); false when closed.
    bool reset_kv(reset_t how) override;
    bool reset_kv_and_close(reset_t how) override;
    /// The chip's firmware id and name (cut to name_capacity - 1 characters and a 0).
    bool get_firmware_id(int* const id, uint16_t* name, unsigned name_capacity) override;
    bool is_layer_a_supported() override;
    bool get_slt(SlTable*& table, bool refresh) override;
    unsigned send_attempts() override;
    /// Fails when the chip is unreachable.
    bool open(int how) override;
    bool close() override;
    bool is_open() override;
    const char* getvar(const char* name) override;
    /// 1 while closed; otherwise the chip's answer (0 with a response, 2 when it stays silent).
    int transact(const PDU& request, PDU& response) override;

    /// How many times one request may be sent (send_attempts; 2 unless set).
    void SetSendAttempts(unsigned attempts) { mSendAttempts = attempts; }
    /// The chip.
    const std::shared_ptr<SimChip>& Chip() const { return mChip; }
    /// The identity found by the last get_slt() since the transport opened.
    const ChipIdentity& Identity() const { return mIdentity; }

  private:
    std::shared_ptr<SimChip> mChip;
    bool mOpen = false;
    unsigned mSendAttempts = 2;
    uint16_t mSequence = 0;
    SlTable mTable;
    ChipIdentity mIdentity;
    bool mIdentityRead = false;
    /// getvar answers, kept valid for the caller
    std::map<std::string, std::string, std::less<>> mVars;
};

}  // namespace kvcmdsim
