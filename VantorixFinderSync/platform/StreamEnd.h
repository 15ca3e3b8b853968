// What the input and the output stream of a pair have in common, whatever carries the connection: opening
// either end starts the shared connection; closing an end lets go of it (the connection ends with its last end).
#pragma once

#include "Streams.h"

#include <memory>
#include <optional>

namespace vantorix {

template <typename Interface, typename Connection>
class StreamEnd : public Interface {
public:
    explicit StreamEnd(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

    void open() override {
        if (opened_ || closed_) return;
        opened_ = true;
        connection_->open();
    }
    void close() override {
        closed_ = true;
        connection_.reset();
    }
    int errorNumber() const override { return connection_ ? connection_->errorNumber() : 0; }

protected:
    // Opened and not closed: the connection may be used.
    bool usable() const { return opened_ && !closed_; }
    // The status this end has by itself (not opened, closed), or nothing when the connection decides it.
    std::optional<StreamStatus> ownStatus() const {
        if (closed_) return StreamStatus::closed;
        if (!opened_) return StreamStatus::notOpen;
        return std::nullopt;
    }
    Connection& connection() const { return *connection_; }

private:
    std::shared_ptr<Connection> connection_;
    bool opened_ = false;
    bool closed_ = false;
};

// The two ends over any connection type that offers the operations the streams forward to.
template <typename Connection>
class InputEnd final : public StreamEnd<InputStream, Connection> {
public:
    using StreamEnd<InputStream, Connection>::StreamEnd;
    StreamStatus status() const override {
        if (auto own = this->ownStatus()) return *own;
        if (this->connection().inputAtEnd()) return StreamStatus::atEnd;
        return this->connection().status();
    }
    bool hasBytesAvailable() override { return this->usable() && this->connection().hasBytesAvailable(); }
    ssize_t read(std::uint8_t* buffer, std::size_t maxLength) override { return this->usable() ? this->connection().read(buffer, maxLength) : -1; }
    bool waitForBytes(MonotonicTime deadline) override { return this->usable() && this->connection().waitForBytes(deadline); }
};

template <typename Connection>
class OutputEnd final : public StreamEnd<OutputStream, Connection> {
public:
    using StreamEnd<OutputStream, Connection>::StreamEnd;
    StreamStatus status() const override {
        if (auto own = this->ownStatus()) return *own;
        return this->connection().status();
    }
    ssize_t write(const std::uint8_t* bytes, std::size_t length) override { return this->usable() ? this->connection().write(bytes, length) : -1; }
    std::optional<int> peerUserId() override { return this->usable() ? this->connection().peerUserId() : std::nullopt; }
    bool waitUntilOpen(MonotonicTime deadline) override { return this->usable() && this->connection().waitUntilConnected(deadline); }
    bool waitUntilWritable(MonotonicTime deadline) override { return this->usable() && this->connection().waitUntilWritable(deadline); }
};

template <typename Connection>
StreamPair makeStreamPair(std::shared_ptr<Connection> connection) {
    return {std::make_unique<InputEnd<Connection>>(connection), std::make_unique<OutputEnd<Connection>>(connection)};
}

}  // namespace vantorix
