#pragma once
// What waits for the broker: a first-in first-out queue of messages that holds the oldest in
// memory and the rest in a ring file of fixed size on disk. When the file is full the oldest
// messages make room and are counted as dropped.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace zs::mqtt {

struct Message {
    std::string topic;
    std::string payload;
};

class Spool {
  public:
    // `path`: the ring file, made on first use and removed by the destructor; `diskBytes`: its
    // size; `memoryBytes`: what waits in memory before the file is used.
    Spool(std::string path, uint64_t diskBytes, uint64_t memoryBytes);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Queues a message last, dropping the oldest while the file has no room for it (a message
    // larger than both the memory part and the file is dropped itself). std::runtime_error
    // when the file cannot be written.
    void push(Message m);
    // The oldest message, taken out of the queue.
    std::optional<Message> pop();
    // Puts messages taken out but not delivered back in front, in their order, without
    // dropping any (a broken connection returns what was in flight).
    void pushFront(std::vector<Message> messages);

    bool empty() const { return memory_.empty() && diskUsed() == 0; }
    uint64_t count() const { return memory_.size() + diskCount_; }
    uint64_t dropped() const { return dropped_; }
    uint64_t diskUsed() const { return tail_ - head_; }

    // What one message takes in the queue.
    static uint64_t cost(const Message& m) { return kHeader + m.topic.size() + m.payload.size(); }

  private:
    static constexpr uint64_t kHeader = 8; // topic and payload lengths, 32 bits each

    void dropOldest();
    // Moves messages from the file's head to memory while memory has room, keeping the order.
    void refill();
    void writeRing(uint64_t at, const char* data, uint64_t size);
    void readRing(uint64_t at, char* data, uint64_t size) const;
    bool diskHeadFits() const;
    Message readDiskHead() const;

    std::string path_;
    uint64_t diskBytes_, memoryBytes_;
    std::deque<Message> memory_;
    uint64_t memoryUsed_ = 0;
    int fd_ = -1;
    uint64_t head_ = 0, tail_ = 0; // positions in the file's byte stream, modulo its size
    uint64_t diskCount_ = 0;
    uint64_t dropped_ = 0;
};

} // namespace zs::mqtt
