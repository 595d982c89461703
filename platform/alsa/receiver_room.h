// How much a program that receives from us can take. A direct send that finds its input
// FIFO full marks it overflowed, and the program's next read empties all of it: so a
// program's port gets no more than the kernel says its FIFO has free. The question goes
// to the kernel through a function the owner passes in (tests pass a fake).
//
// Midi Through hands each event on to every program subscribed to its port and is refused
// when one of them is full, after the others got it: a retry would give them it twice.
// Its port gets no more than the fullest of them has free.
#pragma once

#include <sys/ioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace zm_alsa {

// The kernel's answer about any client's pools (SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, the
// layout of struct snd_seq_client_pool); alsa-lib asks it only about our own client.
struct ClientPool {
    int client;
    int outputPool;
    int inputPool;
    int outputRoom;
    int outputFree;
    int inputFree;
    char reserved[64];
};
inline const unsigned long kGetClientPool = _IOWR('S', 0x4b, ClientPool);

// Free cells of the client's input FIFO, asked on the sequencer's descriptor seqFd; -1 if
// it cannot be asked. pool, when given, gets the FIFO's size.
inline int FreeFifoCells(int seqFd, int client, int* pool = nullptr)
{
    ClientPool info{};
    info.client = client;
    if (seqFd < 0 || ioctl(seqFd, kGetClientPool, &info) < 0)
        return -1;
    if (pool != nullptr)
        *pool = info.inputPool;
    return info.inputFree;
}

// What a program's FIFO can take from us: its free cells less a sixteenth of it, left to
// its other senders. kUnwatched when it has no FIFO (a kernel client, or a program that
// opened no input: the send says so), -1 when it cannot be asked (gone).
constexpr int kUnwatched = 1 << 30;
inline int ProgramRoom(int seqFd, int client, int /*port*/)
{
    int pool = 0;
    const int free = FreeFifoCells(seqFd, client, &pool);
    if (free < 0)
        return -1;
    return pool > 0 ? free - pool / 16 : kUnwatched;
}

// The layout of struct snd_seq_query_subs (SNDRV_SEQ_IOCTL_QUERY_SUBS).
struct QuerySubs {
    unsigned char rootClient, rootPort;
    int type; // 0: those who read from the root
    int index;
    int count;
    unsigned char client, port, queue;
    unsigned flags;
    char reserved[64];
};
static_assert(sizeof(QuerySubs) == 88);
inline const unsigned long kQuerySubs = _IOWR('S', 0x4f, QuerySubs);

// What the fullest program reading client:port can take; kUnwatched when none has a FIFO.
inline int FanOutRoom(int seqFd, int client, int port)
{
    QuerySubs query{};
    query.rootClient = static_cast<unsigned char>(client);
    query.rootPort = static_cast<unsigned char>(port);
    int least = kUnwatched;
    for (; ioctl(seqFd, kQuerySubs, &query) >= 0; ++query.index) {
        const int room = ProgramRoom(seqFd, query.client, query.port);
        if (room >= 0) // one that left meanwhile holds nothing back
            least = std::min(least, room);
    }
    return least;
}

class ReceiverRoom {
  public:
    // The cells a send may take now, -1 when the receiver cannot be asked.
    using Query = int (*)(int seqFd, int client, int port);

    static constexpr int64_t kNsPerSecond = 1'000'000'000;
    // The longest wait between two looks at a full receiver's room.
    static constexpr int kMaxWaitMs = 16;

    // From now on sends go to client:port, whose room query tells; none (a port that
    // plays at once) is not watched.
    void Watch(int seqFd, int client, int port, Query query)
    {
        query_ = query;
        seqFd_ = seqFd;
        client_ = client;
        port_ = port;
    }

    // Before a pass of writes: the program may have read since, ask before the next send.
    void Forget() { credit_ = 0; }

    // Whether a send of cells may go now; asks the kernel only once the cells known free
    // are spent. waiting: the messages that wait, for the line said when none go for 1 s.
    bool Allows(int cells, int64_t now, size_t waiting)
    {
        return query_ == nullptr || credit_ >= cells || Ask(cells, now, waiting);
    }
    void Spend(int cells) { credit_ -= cells; }
    // After Allows said no: how long until it is worth asking again.
    int WaitMs() const { return waitMs_; }

    // The kernel refused a send for a full FIFO: other senders filled it since we asked,
    // and the program will find its FIFO emptied. Said once per port.
    void Refused()
    {
        if (query_ != nullptr && refused_++ == 0) {
            std::fprintf(stderr,
                         "ZYN_MOUSE: MIDI output %d:%d was filled up by other senders too; it "
                         "loses what waited "
                         "in its buffer\n",
                         client_, port_);
        }
        credit_ = 0;
    }

  private:
    // When the program has no room, says so once that has lasted, and looks again a little
    // later each time.
    bool Ask(int cells, int64_t now, size_t waiting)
    {
        const int room = query_(seqFd_, client_, port_);
        // A program that is gone has room for nothing: the send says so.
        credit_ = room < 0 ? cells : room;
        if (credit_ >= cells) {
            if (saidFull_) {
                std::fprintf(stderr,
                             "ZYN_MOUSE: MIDI output %d:%d takes messages again after %.1f s\n",
                             client_, port_, static_cast<double>(now - fullSince_) / kNsPerSecond);
            }
            fullSince_ = 0;
            saidFull_ = false;
            waitMs_ = 0;
            return true;
        }
        if (fullSince_ == 0)
            fullSince_ = now;
        waitMs_ = std::clamp(waitMs_ * 2, 1, kMaxWaitMs);
        if (!saidFull_ && now - fullSince_ >= kNsPerSecond) {
            saidFull_ = true;
            std::fprintf(stderr,
                         "ZYN_MOUSE: MIDI output %d:%d has taken nothing for 1 s; %zu messages "
                         "wait for it\n",
                         client_, port_, waiting);
        }
        return false;
    }

    Query query_ = nullptr;
    int seqFd_ = -1;
    int client_ = 0;
    int port_ = 0;
    int credit_ = 0; // cells known free there, spent before the kernel is asked again
    int waitMs_ = 0;
    int64_t fullSince_ = 0; // since when the program has had no room; 0 while it has
    bool saidFull_ = false;
    uint64_t refused_ = 0;
};

} // namespace zm_alsa
