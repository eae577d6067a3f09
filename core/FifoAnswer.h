#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>

class SecretBuffer;

// Writes one answer into the named pipe that an askpass program reads, without ever blocking
// the caller: the pipe is opened without waiting for a reader, and anything at the path but a
// named pipe of this user (a regular file, a link, another user's pipe) gets nothing.
class FifoAnswer {
public:
    enum class Result {
        Written,     // all bytes written, the pipe closed
        NoReader,    // nobody has the pipe open for reading (any more)
        NotOwnFifo,  // the path is no named pipe owned by this user
        Missing,     // nothing at the path
        Failed,      // the reader went away or stopped reading during the write
    };

    // One attempt, now.
    static Result write(const QString& path, const QByteArray& bytes);
    static Result write(const QString& path, const SecretBuffer& bytes);
    // Whether the path is a named pipe of this user (looked at, not opened).
    static bool isOwnFifo(const QString& path);

    // Writes now or, while no reader has the pipe open yet, again from the event loop until
    // `patience` has passed: the askpass program may not be reading the very moment its
    // question is answered. The bytes move into a SecretBuffer at once (the array is wiped);
    // `done` receives the outcome.
    static void send(const QString& path, QByteArray bytes, std::function<void(Result)> done = {},
                     std::chrono::milliseconds patience = kPatience);
    static void send(const QString& path, std::unique_ptr<SecretBuffer> bytes, std::function<void(Result)> done = {},
                     std::chrono::milliseconds patience = kPatience);

    static QString describe(Result result);

    static constexpr std::chrono::milliseconds kPatience{1500};
    static constexpr std::chrono::milliseconds kRetryInterval{20};

private:
    static Result write(const QString& path, const char* data, size_t size);
};
