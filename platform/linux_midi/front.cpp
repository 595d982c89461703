// The front's UI-thread side: handles over the slots of the system in use, the lists, the
// drain of received messages and the sends.
#include "platform/linux_midi/front.h"

#include "platform/linux_midi/names.h"
#include "platform/linux_midi/short_msg.h"
#include "platform/loopback.h"

namespace zm_midi {
namespace {

enum Result : int {
    kOk = 0,
    kFailed = 1,
    kNoDevice = 2,
    kAllocated = 4,
    kBadHandle = 5,
    kBadParam = 11,
};

// Big enough for several periods of the densest traffic a JACK port buffer can carry.
constexpr size_t kInQueueCapacity = 32768;

// The signals the front lends the systems (Shared): plain functions, safe anywhere.
void AskDrain()
{
    TheFront().WantDrain();
}
void KickServiceThread()
{
    TheFront().KickService();
}
void AskNames()
{
    TheFront().WantNames();
}

} // namespace

Front& TheFront()
{
    static Front* front = new Front();
    return *front;
}

Front::Front() : in_(kInQueueCapacity, &AskDrain)
{
    shared_.in = &in_;
    shared_.askDrain = &AskDrain;
    shared_.kickService = &KickServiceThread;
    shared_.askNames = &AskNames;
    shared_.overruns = &overruns_;
    service_.Start([this] { ServiceLoop(); });
    probe_.Start([this] { ProbeLoop(); });
}

void Front::SetWake(void (*wake)())
{
    wake_.store(wake, std::memory_order_release);
    // Messages that came before anyone listened must not wait for the next one.
    if (wake != nullptr)
        WantDrain();
}

size_t Front::Drain(void (*sink)(PlatMidiHandle, uint32_t))
{
    if (sys_ != nullptr) {
        for (int slot = 0; slot < kOutSlots; ++slot) {
            if (outUsed_[slot] && sys_->Out(slot).Refill())
                sys_->Sent(slot);
        }
    }
    return in_.Drain(sink, wake_.load(std::memory_order_acquire));
}

const std::vector<Front::Listed>& Front::Inputs()
{
    if (!scanned_)
        Rescan();
    return ins_;
}

const std::vector<Front::Listed>& Front::Outputs()
{
    if (!scanned_)
        Rescan();
    return outs_;
}

int Front::Open(PlatMidiHandle* handle, int index, bool input)
{
    if (handle == nullptr)
        return kBadParam;
    const std::vector<Listed>& list = input ? Inputs() : Outputs();
    if (sys_ == nullptr || !sys_->Alive() || index < 0 || static_cast<size_t>(index) >= list.size())
        return kNoDevice;
    bool* used = input ? inUsed_ : outUsed_;
    const int slots = input ? kInSlots : kOutSlots;
    int slot = 0;
    while (slot < slots && used[slot])
        ++slot;
    if (slot == slots)
        return kAllocated;
    const PortRef& port = list[static_cast<size_t>(index)].port;
    if (!(input ? sys_->OpenIn(slot, port) : sys_->OpenOut(slot, port)))
        return kFailed;
    used[slot] = true;
    *handle = next_++;
    handles_[*handle] = HandleInfo{input, slot, sysIncarnation_};
    return kOk;
}

int Front::Run(PlatMidiHandle handle, bool run)
{
    HandleInfo* info = Find(handle, true);
    if (info == nullptr)
        return kBadHandle;
    if (!Live(*info))
        return run ? kFailed : kOk;
    sys_->RunIn(info->slot, run ? handle : 0);
    return kOk;
}

int Front::Close(PlatMidiHandle handle, bool input)
{
    HandleInfo* info = Find(handle, input);
    if (info == nullptr)
        return kBadHandle;
    if (Live(*info)) {
        if (input) {
            sys_->RunIn(info->slot, 0);
            sys_->CloseIn(info->slot);
            inUsed_[info->slot] = false;
        } else {
            sys_->CloseOut(info->slot);
            outUsed_[info->slot] = false;
        }
    }
    handles_.erase(handle);
    return kOk;
}

int Front::Send(PlatMidiHandle handle, uint32_t word)
{
    HandleInfo* info = Find(handle, false);
    if (info == nullptr)
        return kBadHandle;
    uint8_t bytes[3];
    if (UnpackShort(word, bytes) == 0)
        return kBadParam;
    if (!Live(*info) || !sys_->Alive())
        return kFailed;
    // A reply to a received message keeps the time it came, so the thru keeps the rhythm
    // it was played with.
    const uint32_t made = in_.Delivering() ? in_.DeliveringArrival() : sys_->Now();
    sys_->Out(info->slot).Send(word & 0xFFFFFF, made);
    sys_->Sent(info->slot);
    return kOk;
}

Front::HandleInfo* Front::Find(PlatMidiHandle handle, bool input)
{
    auto it = handles_.find(handle);
    return it == handles_.end() || it->second.input != input ? nullptr : &it->second;
}

// A handle of a system let go since stays known, so its close is still answered.
bool Front::Live(const HandleInfo& info) const
{
    return sys_ != nullptr && info.system == sysIncarnation_;
}

void Front::List()
{
    ins_.clear();
    outs_.clear();
    if (sys_ == nullptr)
        return;
    std::vector<PortRef> sources, destinations;
    sys_->List(&sources, &destinations);
    ApplyLoopbackRule(&sources, &destinations, [](const PortRef& p) { return IsLoopback(p); });
    // The system's incarnation in every id: a port of the next system is another port.
    for (PortRef& p : sources) {
        const uint64_t id = PortId(p) ^ sysIncarnation_;
        ins_.push_back(Listed{std::move(p), id});
    }
    for (PortRef& p : destinations) {
        const uint64_t id = PortId(p) ^ sysIncarnation_;
        outs_.push_back(Listed{std::move(p), id});
    }
}

} // namespace zm_midi
