// The ALSA sequencer back end on a real kernel sequencer: run inside the VM of
// scripts/vm/alsa-vm.sh, which loads snd-seq-dummy (client 14 "Midi Through") and snd-virmidi
// (clients 16..19, each port's other end the raw device /dev/snd/midiC0D<n>).
// Everywhere else each test skips.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/c_midi.h"
#include "host_double.h"
#include "platform/linux_midi/short_msg.h"
#include "platform/platform.h"
#include "surface/winui.h"
#include "tests/platform/alsa/seq_event.h"
#include "tests/support/jack_logic.h"

using namespace std::chrono;
using Words = std::vector<uint32_t>;
using Names = std::vector<std::string>;

namespace {

bool InVm()
{
    return std::getenv("ZM_ALSA_VM") != nullptr && access("/dev/snd/seq", R_OK | W_OK) == 0;
}

#define REQUIRE_VM()                                                                               \
    do {                                                                                           \
        if (!InVm())                                                                               \
            GTEST_SKIP() << "needs a kernel sequencer: run under scripts/vm/alsa-vm.sh";           \
    } while (0)

std::string VirName(int n)
{
    const std::string d = "0-" + std::to_string(n);
    return "Virtual Raw MIDI " + d + ":VirMIDI " + d;
}
const char kThrough[] = "Midi Through Port-0";

Names Listed(bool input)
{
    Names names;
    const int n = input ? PlatMidiInCount() : PlatMidiOutCount();
    for (int i = 0; i < n; ++i) {
        char name[64] = {};
        (input ? PlatMidiInName : PlatMidiOutName)(i, name, sizeof name);
        names.push_back(name);
    }
    return names;
}

int IndexOf(bool input, const std::string& name)
{
    const Names names = Listed(input);
    auto it = std::find(names.begin(), names.end(), name);
    return it == names.end() ? -1 : static_cast<int>(it - names.begin());
}

// Received messages, as the UI thread drains them.
std::mutex gotMutex;
std::vector<std::pair<PlatMidiHandle, uint32_t>> got;
void Collect(PlatMidiHandle h, uint32_t w)
{
    std::lock_guard lock(gotMutex);
    got.emplace_back(h, w);
}

// Drains until count messages came (and then a little longer, to see that no more follow).
Words DrainFor(PlatMidiHandle handle, size_t count, int timeoutMs = 2000)
{
    const auto end = steady_clock::now() + milliseconds(timeoutMs);
    auto settled = steady_clock::time_point::max();
    while (steady_clock::now() < std::min(end, settled)) {
        PlatMidiDrain(Collect);
        {
            std::lock_guard lock(gotMutex);
            if (got.size() >= count && settled == steady_clock::time_point::max())
                settled = steady_clock::now() + milliseconds(200);
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    Words words;
    std::lock_guard lock(gotMutex);
    for (auto& [h, w] : got) {
        EXPECT_EQ(h, handle);
        words.push_back(w);
    }
    got.clear();
    return words;
}

// The raw end of virmidi device n.
class Raw {
  public:
    explicit Raw(int n)
    {
        fd_ = open(("/dev/snd/midiC0D" + std::to_string(n)).c_str(), O_RDWR | O_NONBLOCK);
        // The device drops what arrives before the first poll or read.
        pollfd p{fd_, POLLIN, 0};
        poll(&p, 1, 0);
    }
    ~Raw() { Close(); }
    void Close()
    {
        // virmidi stops handing on bytes while its reader is full, and a close would wait
        // 10 s for them: drop what is left.
        constexpr unsigned long kDrop = _IOW('W', 0x30, int); // SNDRV_RAWMIDI_IOCTL_DROP
        int output = 0;
        if (fd_ >= 0)
            ioctl(fd_, kDrop, &output);
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool Ok() const { return fd_ >= 0; }
    void Write(const std::vector<uint8_t>& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t r = write(fd_, bytes.data() + done, bytes.size() - done);
            if (r > 0) {
                done += static_cast<size_t>(r);
            } else {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 10);
            }
        }
    }
    // Reads at most max bytes waiting up to timeoutMs for the first.
    size_t Read(std::vector<uint8_t>* into, size_t max, int timeoutMs)
    {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return 0;
        uint8_t buf[4096];
        const ssize_t r = read(fd_, buf, std::min(max, sizeof buf));
        if (r <= 0)
            return 0;
        into->insert(into->end(), buf, buf + r);
        return static_cast<size_t>(r);
    }
    // Messages in what comes until nothing did for quietMs.
    Words ReadMessages(int quietMs = 300)
    {
        std::vector<uint8_t> bytes;
        while (Read(&bytes, 4096, quietMs) > 0) {
        }
        return Parse(bytes);
    }
    static Words Parse(const std::vector<uint8_t>& bytes)
    {
        Words words;
        zm_midi::SplitShortMessages(bytes.data(), bytes.size(),
                                    [&](uint32_t w) { words.push_back(w); });
        return words;
    }

  private:
    int fd_ = -1;
};

// A second sequencer client playing the other side.
class Peer {
  public:
    explicit Peer(const char* name = "zm peer")
    {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0)
            return;
        snd_seq_set_client_name(seq_, name);
        constexpr unsigned kBoth = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ |
                                   SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
        port_ = snd_seq_create_simple_port(seq_, "visible", kBoth, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
        hidden_ = snd_seq_create_simple_port(seq_, "hidden", kBoth | SND_SEQ_PORT_CAP_NO_EXPORT,
                                             SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    }
    ~Peer()
    {
        if (seq_ != nullptr)
            snd_seq_close(seq_);
    }
    bool Ok() const { return seq_ != nullptr && port_ >= 0 && hidden_ >= 0; }
    int Client() const { return snd_seq_client_id(seq_); }
    // To everyone subscribed to the visible port. A subscriber that filters out an event
    // type makes the kernel refuse such events: only short messages must go through.
    int Send(snd_seq_event_t ev)
    {
        snd_seq_ev_set_source(&ev, port_);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        const int r = snd_seq_event_output_direct(seq_, &ev);
        if (!snd_seq_ev_is_variable(&ev)) {
            EXPECT_GE(r, 0);
        }
        return r;
    }
    // Controllers as fast as it can, whatever the receivers make of them.
    void Flood(int count)
    {
        for (int i = 0; i < count; ++i) {
            snd_seq_event_t ev = Control(SND_SEQ_EVENT_CONTROLLER, 0, 7, i % 128);
            snd_seq_ev_set_source(&ev, port_);
            snd_seq_ev_set_subs(&ev);
            snd_seq_ev_set_direct(&ev);
            snd_seq_event_output_direct(seq_, &ev);
        }
    }

  private:
    snd_seq_t* seq_ = nullptr;
    int port_ = -1, hidden_ = -1;
};

class AlsaVm : public ::testing::Test {
  protected:
    void SetUp() override
    {
        REQUIRE_VM();
        PlatMidiRescan();
        std::lock_guard lock(gotMutex);
        got.clear();
    }
    PlatMidiHandle OpenIn(const std::string& name)
    {
        const int index = IndexOf(true, name);
        PlatMidiHandle h = kNoMidiDevice;
        EXPECT_GE(index, 0) << name;
        EXPECT_EQ(PlatMidiInOpen(&h, index), 0) << name;
        EXPECT_EQ(PlatMidiInStart(h), 0);
        return h;
    }
    PlatMidiHandle OpenOut(const std::string& name)
    {
        const int index = IndexOf(false, name);
        PlatMidiHandle h = kNoMidiDevice;
        EXPECT_GE(index, 0) << name;
        EXPECT_EQ(PlatMidiOutOpen(&h, index), 0) << name;
        return h;
    }
};

TEST_F(AlsaVm, ListsOthersPortsOnlyWithTheLoopbackAnOutputAndLast)
{
    Peer peer;
    ASSERT_TRUE(peer.Ok());
    PlatMidiRescan();
    EXPECT_EQ(Listed(true),
              (Names{VirName(0), VirName(1), VirName(2), VirName(3), "zm peer:visible"}));
    EXPECT_EQ(Listed(false),
              (Names{VirName(0), VirName(1), VirName(2), VirName(3), "zm peer:visible", kThrough}));
}

TEST_F(AlsaVm, RawBytesArriveAsMessagesAndMessagesLeaveAsBytes)
{
    const PlatMidiHandle in = OpenIn(VirName(0));
    Raw raw0(0);
    ASSERT_TRUE(raw0.Ok());
    // SysEx is ignored. We refuse it, and virmidi then leaves the rest of that write to its
    // next one: a dump ends a write here.
    raw0.Write({0x90, 0x3C, 0x64, 0x3E, 0x00, // running status, velocity 0 stays a note-on
                0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7});
    EXPECT_EQ(DrainFor(in, 2), (Words{0x643C90, 0x003E90}));
    raw0.Write({0xB5, 0x07, 0x50, 0xC1, 0x05, 0xE2, 0x00, 0x40, 0xF8, 0xD3, 0x22, 0xF2, 0x10, 0x20,
                0xFA, 0xFE});
    EXPECT_EQ(DrainFor(in, 8),
              (Words{0x5007B5, 0x05C1, 0x4000E2, 0xF8, 0x22D3, 0x2010F2, 0xFA, 0xFE}));
    EXPECT_EQ(PlatMidiInClose(in), 0);

    const PlatMidiHandle out = OpenOut(VirName(1));
    Raw raw1(1);
    ASSERT_TRUE(raw1.Ok());
    const Words sent = {0x643C90, 0x003C80, 0x5007B5, 0x05C1, 0x7F7FE2, 0x0000E2, 0xF8,
                        0x22D3,   0x2010F2, 0x03F3,   0x35F1, 0xF6,     0xFA,     0xFB,
                        0xFC,     0xFE,     0xFF,     0xF4,   0x2211AF};
    for (uint32_t w : sent)
        EXPECT_EQ(PlatMidiOutShortMsg(out, w), 0);
    EXPECT_EQ(raw1.ReadMessages(), sent);
    EXPECT_EQ(PlatMidiOutClose(out), 0);
}

TEST_F(AlsaVm, OneEventMayBringSeveralMessages)
{
    Peer peer;
    ASSERT_TRUE(peer.Ok());
    PlatMidiRescan();
    const PlatMidiHandle in = OpenIn("zm peer:visible");
    peer.Send(Control(SND_SEQ_EVENT_CONTROL14, 1, 7, 0x1234));
    peer.Send(Control(SND_SEQ_EVENT_NONREGPARAM, 2, 0x0102, 0x0304));
    snd_seq_event_t sysex;
    snd_seq_ev_clear(&sysex);
    uint8_t bytes[] = {0xF0, 0x7E, 0x7F, 0xF7};
    snd_seq_ev_set_sysex(&sysex, sizeof bytes, bytes);
    peer.Send(sysex);
    peer.Send(Control(SND_SEQ_EVENT_REGPARAM, 0, 0, 0x2000));
    EXPECT_EQ(DrainFor(in, 10), (Words{0x2407B1, 0x3427B1, 0x0263B2, 0x0262B2, 0x0606B2, 0x0426B2,
                                       0x0065B0, 0x0064B0, 0x4006B0, 0x0026B0}));
    EXPECT_EQ(PlatMidiInClose(in), 0);
}

TEST_F(AlsaVm, AnOutputWhoseReceiverLeftSaysSoOnceAndHoldsUpNothing)
{
    auto peer = std::make_unique<Peer>();
    ASSERT_TRUE(peer->Ok());
    PlatMidiRescan();
    const PlatMidiHandle gone = OpenOut("zm peer:visible");
    const PlatMidiHandle out = OpenOut(VirName(1));
    Raw raw(1);
    peer.reset();
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(PlatMidiOutShortMsg(gone, 0x7F3C90), 0);
    EXPECT_EQ(PlatMidiOutShortMsg(out, 0x7F4090), 0);
    EXPECT_EQ(raw.ReadMessages(), Words{0x7F4090});
    EXPECT_EQ(PlatMidiOutClose(gone), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_NE(said.find("refuses messages"), std::string::npos) << said;
    EXPECT_EQ(said.find("refuses messages"), said.rfind("refuses messages")) << said;
    EXPECT_NE(said.find("3 MIDI messages for output"), std::string::npos) << said;
    EXPECT_EQ(PlatMidiOutClose(out), 0);
}

// Note-ons told apart by their note and velocity.
uint32_t Numbered(int i)
{
    return zm_midi::PackBytes(0x90, static_cast<uint8_t>(i % 128),
                              static_cast<uint8_t>(1 + i / 128 % 127));
}
int NumberOf(uint32_t w)
{
    return static_cast<int>((w >> 16 & 0x7F) - 1) * 128 + static_cast<int>(w >> 8 & 0x7F);
}

struct Tally {
    int lost = 0, outOfOrder = 0;
};
Tally Check(const Words& words, int count)
{
    Tally t;
    int next = 0;
    for (uint32_t w : words) {
        if (NumberOf(w) != next)
            ++t.outOfOrder;
        next = NumberOf(w) + 1;
    }
    t.lost = count - static_cast<int>(words.size());
    return t;
}

// Reads a raw device on a thread of its own until count messages came or nothing came
// for a while, in bites of at most bite bytes with a pause after each.
class Reader {
  public:
    Reader(Raw& raw, size_t count, size_t bite, int pauseMs)
        : thread_([this, &raw, count, bite, pauseMs] { Run(raw, count, bite, pauseMs); })
    {
    }
    ~Reader()
    {
        if (thread_.joinable())
            thread_.join();
    }
    bool Done() const { return done_; }
    Words Join(steady_clock::time_point* last)
    {
        thread_.join();
        *last = last_;
        return Raw::Parse(bytes_);
    }

  private:
    void Run(Raw& raw, size_t count, size_t bite, int pauseMs)
    {
        auto heard = steady_clock::now();
        while (steady_clock::now() - heard < seconds(3)) {
            if (raw.Read(&bytes_, bite, 50) > 0) {
                heard = last_ = steady_clock::now();
                // A note-on takes two bytes at least (running status).
                if (bytes_.size() >= 2 * count && Raw::Parse(bytes_).size() >= count)
                    break;
            }
            if (pauseMs > 0)
                std::this_thread::sleep_for(milliseconds(pauseMs));
        }
        done_ = true;
    }

    std::vector<uint8_t> bytes_;
    steady_clock::time_point last_{};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// virmidi drops what its reader has not taken once its 4 KiB buffer is full: only pacing
// at the wire's rate gets a burst through to a reader that takes its time.
TEST_F(AlsaVm, ABurstReachesASlowReaderWholeAndInOrder)
{
    constexpr int kCount = 10'000;
    const PlatMidiHandle out = OpenOut(VirName(2));
    Raw raw(2);
    ASSERT_TRUE(raw.Ok());
    Reader reader(raw, kCount, 32, 5); // at most 6,400 bytes a second: twice the wire's rate
    const auto start = steady_clock::now();
    for (int i = 0; i < kCount; ++i)
        ASSERT_EQ(PlatMidiOutShortMsg(out, Numbered(i)), 0);
    while (!reader.Done()) {
        PlatMidiDrain(Collect); // moves the sends still waiting on our side along
        std::this_thread::sleep_for(milliseconds(5));
    }
    steady_clock::time_point last;
    const Tally t = Check(reader.Join(&last), kCount);
    std::printf(
        "[ figure ] alsa burst to a slow reader: %d messages, lost %d, out of order %d, %lld ms\n",
        kCount, t.lost, t.outOfOrder,
        static_cast<long long>(duration_cast<milliseconds>(last - start).count()));
    EXPECT_EQ(t.lost, 0);
    EXPECT_EQ(t.outOfOrder, 0);
    EXPECT_EQ(PlatMidiOutClose(out), 0);
}

// A sender faster than we read overflows our kernel FIFO (2,000 events at most), which
// the kernel then empties: what was lost must be told, never silent.
TEST_F(AlsaVm, AFloodBeyondTheKernelFifoIsLostAloudNotSilently)
{
    constexpr int kCount = 10'000;
    const PlatMidiHandle in = OpenIn(VirName(0));
    Raw raw(0);
    std::vector<uint8_t> bytes;
    for (int i = 0; i < kCount; ++i) {
        const uint32_t w = Numbered(i);
        bytes.insert(bytes.end(), {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16)});
    }
    testing::internal::CaptureStderr();
    raw.Write(bytes);
    const Words words = DrainFor(in, kCount, 1500);
    std::this_thread::sleep_for(milliseconds(1200)); // losses are told at most once a second
    PlatMidiDrain(Collect);
    const std::string said = testing::internal::GetCapturedStderr();
    const Tally t = Check(words, kCount);
    std::printf("[ figure ] alsa flood in: %d messages in one write, received %zu\n", kCount,
                words.size());
    if (t.lost > 0) {
        EXPECT_NE(said.find("overran"), std::string::npos) << said;
    }
    EXPECT_EQ(PlatMidiInClose(in), 0);
}

// A bank dump is one SysEx event of up to 64 KiB, more than alsa-lib's input buffer holds by
// default and (at the top) more than our kernel FIFO: it must neither jam nor empty our input.
TEST_F(AlsaVm, BankDumpsNeitherJamOurInputNorTakeWhatFollows)
{
    Peer peer;
    ASSERT_TRUE(peer.Ok());
    PlatMidiRescan();
    const PlatMidiHandle in = OpenIn("zm peer:visible");
    int value = 0;
    for (size_t size : {20'000u, 65'535u}) {
        std::vector<uint8_t> dump(size, 0x11);
        dump.front() = 0xF0;
        dump.back() = 0xF7;
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_sysex(&ev, dump.size(), dump.data());
        peer.Send(ev);
        peer.Send(Control(SND_SEQ_EVENT_CONTROLLER, 0, 7, ++value));
    }
    EXPECT_EQ(DrainFor(in, 2), (Words{0x0107B0, 0x0207B0}));
    EXPECT_EQ(PlatMidiInClose(in), 0);
}

// A program that takes one event a millisecond, with a kernel FIFO of 200 cells: a send
// into it while full would make the kernel empty all of it at its next read.
class SlowProgram {
  public:
    explicit SlowProgram(const char* name = "zm slow")
    {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK) < 0)
            return;
        snd_seq_set_client_name(seq_, name);
        snd_seq_set_client_pool_input(seq_, 200);
        port_ = snd_seq_create_simple_port(seq_, "in",
                                           SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                                           SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    }
    ~SlowProgram()
    {
        if (seq_ != nullptr)
            snd_seq_close(seq_);
    }
    bool Ok() const { return seq_ != nullptr && port_ >= 0; }
    bool ReadsFrom(int client, int port)
    {
        return snd_seq_connect_from(seq_, port_, client, port) >= 0;
    }
    // After a pause, note-ons until count came or none for quietMs; overruns counts
    // emptied FIFOs.
    Words Read(size_t count, int pauseMs, int* overruns, int quietMs = 1000)
    {
        std::this_thread::sleep_for(milliseconds(pauseMs));
        Words words;
        pollfd p{};
        snd_seq_poll_descriptors(seq_, &p, 1, POLLIN);
        while (words.size() < count) {
            snd_seq_event_t* ev = nullptr;
            const int r = snd_seq_event_input(seq_, &ev);
            if (r == -EAGAIN) {
                if (poll(&p, 1, quietMs) <= 0)
                    break;
                continue;
            }
            if (r == -ENOSPC)
                ++*overruns;
            if (r >= 0 && ev != nullptr && ev->type == SND_SEQ_EVENT_NOTEON) {
                words.push_back(zm_midi::PackBytes(0x90 | ev->data.note.channel, ev->data.note.note,
                                                   ev->data.note.velocity));
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
        return words;
    }

  private:
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
};

// It also stops reading for a while at first: that is said, and so is its coming back.
TEST_F(AlsaVm, ABurstIntoASlowProgramArrivesWholeAndInOrder)
{
    constexpr int kCount = 1000;
    SlowProgram program;
    ASSERT_TRUE(program.Ok());
    PlatMidiRescan();
    const PlatMidiHandle out = OpenOut("zm slow:in");
    int overruns = 0;
    Words words;
    testing::internal::CaptureStderr();
    std::thread reader([&] { words = program.Read(kCount, 1300, &overruns); });
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(PlatMidiOutShortMsg(out, Numbered(i)), 0);
    reader.join();
    const std::string said = testing::internal::GetCapturedStderr();
    const Tally t = Check(words, kCount);
    EXPECT_EQ(t.lost, 0);
    EXPECT_EQ(t.outOfOrder, 0);
    EXPECT_EQ(overruns, 0);
    EXPECT_NE(said.find("has taken nothing for 1 s"), std::string::npos) << said;
    EXPECT_NE(said.find("takes messages again"), std::string::npos) << said;
    EXPECT_EQ(PlatMidiOutClose(out), 0);
}

// Midi Through hands each event on to every program reading it, and is refused when one of
// them is full after the others got it: none may get a message twice, and one that does not
// read for a while still gets them all.
TEST_F(AlsaVm, MidiThroughGivesEachOfItsReadersEveryMessageOnce)
{
    constexpr int kCount = 3000;
    SlowProgram reading("zm reading"), resting("zm resting");
    ASSERT_TRUE(reading.Ok() && resting.Ok());
    ASSERT_TRUE(reading.ReadsFrom(14, 0) && resting.ReadsFrom(14, 0));
    const PlatMidiHandle out = OpenOut(kThrough);
    int overruns[2] = {};
    Words words[2];
    std::thread first([&] { words[0] = reading.Read(kCount, 0, &overruns[0], 3000); });
    std::thread second([&] { words[1] = resting.Read(kCount, 1000, &overruns[1]); });
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(PlatMidiOutShortMsg(out, Numbered(i)), 0);
    first.join();
    second.join();
    for (int k : {0, 1}) {
        const Tally t = Check(words[k], kCount);
        EXPECT_EQ(t.lost, 0) << k;
        EXPECT_EQ(t.outOfOrder, 0) << k;
        EXPECT_EQ(overruns[k], 0) << k;
    }
    EXPECT_EQ(PlatMidiOutClose(out), 0);
}

// More waits at the close than the queue's ring holds, for a paced wire that takes a
// thousand a second: the hand-over sleeps between writes, and every message either leaves
// or is counted as dropped when its second is up.
TEST_F(AlsaVm, AHandOverOfMoreThanTheRingHoldsWaitsForTheWire)
{
    constexpr int kCount = 6000;
    PlatMidiHandle out = OpenOut(VirName(2));
    Raw raw(2);
    ASSERT_TRUE(raw.Ok());
    Reader reader(raw, kCount, 4096, 0);
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(PlatMidiOutShortMsg(out, Numbered(i)), 0);
    testing::internal::CaptureStderr();
    timespec cpu0{}, cpu1{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    EXPECT_EQ(PlatMidiOutClose(out), 0);
    std::this_thread::sleep_for(milliseconds(1300)); // the hand-over's second, and more
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    const std::string said = testing::internal::GetCapturedStderr();
    steady_clock::time_point last;
    const Tally t = Check(reader.Join(&last), kCount);
    const double cpuMs =
        (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;
    unsigned long long dropped = 0;
    const size_t at = said.find("ZYN_MOUSE: ");
    if (at != std::string::npos)
        std::sscanf(said.c_str() + at, "ZYN_MOUSE: %llu MIDI messages", &dropped);
    std::printf("[ figure ] alsa hand-over of %d to a paced wire: %d left, %llu dropped, %.0f ms "
                "CPU in its second\n",
                kCount, kCount - t.lost, dropped, cpuMs);
    EXPECT_LT(cpuMs, 300.0);
    EXPECT_EQ(t.outOfOrder, 0);
    EXPECT_EQ(static_cast<unsigned long long>(t.lost), dropped) << said;
    EXPECT_NE(said.find("within a second of its close"), std::string::npos) << said;
}

// A device check closes every output and opens it again at once: what was sent just before
// still leaves, paced, and ahead of what is sent after.
TEST_F(AlsaVm, ClosingAnOutputHandsOverWhatWaits)
{
    PlatMidiHandle out = OpenOut(VirName(3));
    Raw raw(3);
    ASSERT_TRUE(raw.Ok());
    Words sent;
    for (int i = 0; i < 150; ++i) {
        const auto note = static_cast<uint8_t>(i % 128);
        sent.push_back(zm_midi::PackBytes(0x90, note, 100));
        sent.push_back(zm_midi::PackBytes(0x80, note, 0));
    }
    for (uint32_t w : sent)
        EXPECT_EQ(PlatMidiOutShortMsg(out, w), 0);
    EXPECT_EQ(PlatMidiOutClose(out), 0);
    out = OpenOut(VirName(3));
    sent.push_back(0x6307B0);
    EXPECT_EQ(PlatMidiOutShortMsg(out, sent.back()), 0);
    EXPECT_EQ(raw.ReadMessages(), sent);
    EXPECT_EQ(PlatMidiOutClose(out), 0);
}

// An overrun also threw away the news of ports that went and came: a program restarted at
// the same address in that moment has none of our subscriptions and must count as new.
TEST_F(AlsaVm, AfterAnOverrunEveryOpenPortCountsAsReplaced)
{
    auto synth = std::make_unique<Peer>("zm synth");
    Peer flood("zm flood");
    ASSERT_TRUE(synth->Ok() && flood.Ok());
    const int address = synth->Client();
    PlatMidiRescan();
    const PlatMidiHandle in = OpenIn("zm synth:visible");
    const PlatMidiHandle flooded = OpenIn("zm flood:visible");
    const uint64_t before = PlatMidiInId(IndexOf(true, "zm synth:visible"));

    // Ahead of our service thread on the VM's one CPU: the restart's announcements wait in
    // our FIFO until the flood overruns it.
    sched_param rt{};
    rt.sched_priority = 10;
    ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_FIFO, &rt), 0);
    synth.reset();
    synth = std::make_unique<Peer>("zm synth");
    flood.Flood(3000);
    sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    ASSERT_TRUE(synth->Ok());
    ASSERT_EQ(synth->Client(), address);

    EXPECT_EQ(PlatMidiInClose(flooded), 0);
    DrainFor(flooded, 3000, 500);
    PlatMidiRescan();
    EXPECT_NE(PlatMidiInId(IndexOf(true, "zm synth:visible")), before);
    // So the device check opens it again, and the restarted program is heard.
    EXPECT_EQ(PlatMidiInClose(in), 0);
    const PlatMidiHandle again = OpenIn("zm synth:visible");
    synth->Send(Control(SND_SEQ_EVENT_CONTROLLER, 0, 7, 42));
    EXPECT_EQ(DrainFor(again, 1), Words{0x2A07B0});
    EXPECT_EQ(PlatMidiInClose(again), 0);
}

TEST_F(AlsaVm, UnpluggedPortsLeaveAndComeBackAsNewOnes)
{
    const char* ko = std::getenv("ZM_VIRMIDI_KO");
    ASSERT_NE(ko, nullptr);
    const uint64_t inBefore = PlatMidiInId(IndexOf(true, VirName(0)));
    const uint64_t outBefore = PlatMidiOutId(IndexOf(false, VirName(0)));
    ASSERT_NE(inBefore, 0u);
    // An input held open keeps the module in use: closing must let go of the subscription.
    EXPECT_EQ(PlatMidiInClose(OpenIn(VirName(0))), 0);

    ASSERT_EQ(std::system("rmmod snd_virmidi"), 0);
    PlatMidiRescan();
    EXPECT_EQ(Listed(true), Names{});
    EXPECT_EQ(Listed(false), Names{kThrough});

    ASSERT_EQ(std::system((std::string("insmod ") + ko).c_str()), 0);
    for (int i = 0; i < 100 && PlatMidiInCount() < 4; ++i) {
        std::this_thread::sleep_for(milliseconds(20));
        PlatMidiRescan();
    }
    ASSERT_EQ(Listed(true), (Names{VirName(0), VirName(1), VirName(2), VirName(3)}));
    EXPECT_NE(PlatMidiInId(0), inBefore);
    EXPECT_NE(PlatMidiOutId(0), outBefore);

    // And the port that came back works.
    const PlatMidiHandle in = OpenIn(VirName(0));
    Raw raw(0);
    raw.Write({0x90, 0x40, 0x7F});
    EXPECT_EQ(DrainFor(in, 1), Words{0x7F4090});
    EXPECT_EQ(PlatMidiInClose(in), 0);
}

// The logic's device check, thru and log on the real sequencer.
class AlsaVmLogic : public AlsaVm {
  protected:
    void SetUp() override
    {
        AlsaVm::SetUp();
        if (IsSkipped())
            return;
        ResetProgramState();
        ASSERT_TRUE(zm_test::CheckDevicesUntil(4, 5));
    }
    void TearDown() override
    {
        if (IsSkipped())
            return;
        // Let go of every device, as a device check that finds none would.
        for (int i = 0; i < gMidi.inCount; ++i) {
            if (gMidi.inHandle[i] == kNoMidiDevice)
                continue;
            PlatMidiInStop(gMidi.inHandle[i]);
            PlatMidiInClose(gMidi.inHandle[i]);
        }
        for (int i = 0; i < gMidi.outCount; ++i) {
            if (gMidi.outHandle[i] != kNoMidiDevice)
                PlatMidiOutClose(gMidi.outHandle[i]);
        }
        ResetProgramState();
    }
    static void Pump(int ms)
    {
        const auto end = steady_clock::now() + milliseconds(ms);
        while (steady_clock::now() < end) {
            PlatMidiDrain(zm_test::DeliverToWindow);
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
};

TEST_F(AlsaVmLogic, TheThruNeverFeedsItself)
{
    EXPECT_STREQ(gMidi.outName[0], VirName(0).c_str()); // the default output is a real device
    EXPECT_STREQ(gMidi.outName[4], kThrough);
    for (int i = 0; i < 4; ++i)
        EXPECT_STREQ(gMidi.inName[i], VirName(i).c_str());

    // Through the loopback: it echoes to its readers, and we are none.
    gWinUI.outSel = 4;
    Raw raw1(1), raw0(0);
    raw1.Write({0x90, 0x3C, 0x64});
    Pump(500);
    EXPECT_EQ(gMidi.logSerial, 1);

    gWinUI.outSel = 0;
    raw1.Write({0x91, 0x3D, 0x65});
    Pump(300);
    EXPECT_EQ(raw0.ReadMessages(), Words{0x653D91});
    Pump(200);
    EXPECT_EQ(gMidi.logSerial, 2);
}

TEST_F(AlsaVmLogic, ThruFigure)
{
    constexpr int kCount = 10'000;
    gWinUI.outSel = 1;
    Raw raw0(0), raw1(1);
    Reader reader(raw1, kCount, 4096, 0);
    const auto start = steady_clock::now();
    std::thread writer([&] {
        // A steady stream of about four times the wire's rate.
        for (int i = 0; i < kCount; i += 32) {
            std::vector<uint8_t> chunk;
            for (int k = i; k < std::min(kCount, i + 32); ++k) {
                const uint32_t w = Numbered(k);
                chunk.insert(chunk.end(), {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16)});
            }
            raw0.Write(chunk);
            std::this_thread::sleep_for(milliseconds(8));
        }
    });
    while (!reader.Done()) {
        PlatMidiDrain(zm_test::DeliverToWindow);
        std::this_thread::sleep_for(milliseconds(1));
    }
    writer.join();
    steady_clock::time_point last;
    const Tally t = Check(reader.Join(&last), kCount);
    std::printf("[ figure ] alsa thru: %d messages, lost %d, out of order %d, %lld ms\n", kCount,
                t.lost, t.outOfOrder,
                static_cast<long long>(duration_cast<milliseconds>(last - start).count()));
    EXPECT_EQ(t.lost, 0);
    EXPECT_EQ(t.outOfOrder, 0);
}

} // namespace
