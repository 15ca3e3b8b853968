// The TCP stream pair of the platform seam.
//
// streamsToHost() gives an unopened input stream and output stream for one TCP connection. Both must be
// opened; opening starts the connection without waiting for it. The states and results follow a platform
// stream: status() is opening until the connection is made, then open; a refused connection is error; the
// input stream is atEnd once the peer has closed and everything was read. write() returns the number of bytes
// accepted (> 0), 0 when nothing can be accepted now, or -1 on error; read() returns the number read (> 0), 0 at
// end of stream or when nothing is there, or -1 on error. Neither blocks for long: no single write blocks
// longer than 3 s.
//
// errorNumber() keeps the errno of the failure that put the connection in the error state or made a read or a
// write return -1 (ECONNREFUSED, ECONNRESET, ...), so that the failure can say why; 0 while there is none.
//
// peerUserId() says which user owns the socket at the other end, once the connection is open: a stranger may
// listen on the port while the local service is down, and must not be sent anything.
//
// The readiness waits let a client wait for a state instead of sleeping in a loop; each returns at the latest
// at its deadline, and returns early as soon as the state it waits for can no longer come.
#pragma once

#include "Time.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>

namespace vantorix {

enum class StreamStatus { notOpen, opening, open, reading, writing, atEnd, closed, error };

class InputStream {
public:
    virtual ~InputStream() = default;
    virtual void open() = 0;
    virtual StreamStatus status() const = 0;
    virtual bool hasBytesAvailable() = 0;
    virtual ssize_t read(std::uint8_t* buffer, std::size_t maxLength) = 0;
    virtual void close() = 0;
    virtual int errorNumber() const = 0;
    // Waits until bytes are available to read. Returns false at the deadline, or at once when the stream is
    // not (or no longer) open: the peer closed, or the connection failed.
    virtual bool waitForBytes(MonotonicTime deadline) = 0;
};

class OutputStream {
public:
    virtual ~OutputStream() = default;
    virtual void open() = 0;
    virtual StreamStatus status() const = 0;
    virtual ssize_t write(const std::uint8_t* bytes, std::size_t length) = 0;
    virtual void close() = 0;
    virtual int errorNumber() const = 0;
    // The user owning the peer's socket; nothing while the connection is not open, or when it cannot be told.
    virtual std::optional<int> peerUserId() = 0;
    // Waits until the stream has left the opening state; returns whether it is open.
    virtual bool waitUntilOpen(MonotonicTime deadline) = 0;
    // Waits until a write could accept bytes; returns false at the deadline or when the stream failed.
    virtual bool waitUntilWritable(MonotonicTime deadline) = 0;
};

// Either stream may be missing when the pair cannot be made.
struct StreamPair {
    std::unique_ptr<InputStream> input;
    std::unique_ptr<OutputStream> output;
};

}  // namespace vantorix
