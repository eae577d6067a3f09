#include "FifoAnswer.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include "SecretBuffer.h"

namespace {

bool ownFifo(const struct stat& st) { return S_ISFIFO(st.st_mode) && st.st_uid == ::geteuid(); }

// A reader that closes its end turns a write into SIGPIPE, which would end the program.
// Blocked for the write, a SIGPIPE raised by it is taken back before the mask is restored.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
        sigset_t pending;
        sigpending(&pending);
        m_wasPending = sigismember(&pending, SIGPIPE) == 1;
    }
    ~SigpipeGuard() {
        if (m_raised && !m_wasPending) {
            const timespec zero{};
            while (sigtimedwait(&m_set, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    void raised() { m_raised = true; }

private:
    sigset_t m_set;
    sigset_t m_old;
    bool m_wasPending = false;
    bool m_raised = false;
};

FifoAnswer::Result writeAll(int fd, const char* p, size_t left) {
    SigpipeGuard guard;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EPIPE) guard.raised();
        // EAGAIN: a pipe that is full holds more than any answer; its reader is not ours.
        return FifoAnswer::Result::Failed;
    }
    return FifoAnswer::Result::Written;
}

struct Pending {
    QString path;
    std::unique_ptr<SecretBuffer> bytes;
    std::function<void(FifoAnswer::Result)> done;
    QDeadlineTimer deadline;
};

void attempt(const std::shared_ptr<Pending>& pending) {
    const FifoAnswer::Result r = FifoAnswer::write(pending->path, *pending->bytes);
    if (r == FifoAnswer::Result::NoReader && !pending->deadline.hasExpired()) {
        QTimer::singleShot(FifoAnswer::kRetryInterval, [pending] { attempt(pending); });
        return;
    }
    pending->bytes.reset();
    if (pending->done) pending->done(r);
}

}  // namespace

FifoAnswer::Result FifoAnswer::write(const QString& path, const QByteArray& bytes) {
    return write(path, bytes.constData(), static_cast<size_t>(bytes.size()));
}

FifoAnswer::Result FifoAnswer::write(const QString& path, const SecretBuffer& bytes) {
    return write(path, bytes.data(), bytes.size());
}

bool FifoAnswer::isOwnFifo(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    return !native.isEmpty() && ::lstat(native.constData(), &st) == 0 && ownFifo(st);
}

FifoAnswer::Result FifoAnswer::write(const QString& path, const char* data, size_t size) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty()) return Result::Missing;
    // Looked at before opening, so that no device or file of someone else is even opened.
    struct stat before {};
    if (::lstat(native.constData(), &before) != 0) return errno == ENOENT ? Result::Missing : Result::Failed;
    if (!ownFifo(before)) return Result::NotOwnFifo;

    const int fd = ::open(native.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        switch (errno) {
            case ENXIO:
                return Result::NoReader;
            case ENOENT:
                return Result::Missing;
            case ELOOP:
                return Result::NotOwnFifo;
            default:
                return Result::Failed;
        }
    }
    // The path may have been replaced between the look and the opening.
    struct stat opened {};
    Result r;
    if (::fstat(fd, &opened) != 0 || !ownFifo(opened) || opened.st_dev != before.st_dev ||
        opened.st_ino != before.st_ino)
        r = Result::NotOwnFifo;
    else
        r = writeAll(fd, data, size);
    ::close(fd);
    return r;
}

void FifoAnswer::send(const QString& path, QByteArray bytes, std::function<void(Result)> done,
                      std::chrono::milliseconds patience) {
    send(path, std::make_unique<SecretBuffer>(bytes), std::move(done), patience);
}

void FifoAnswer::send(const QString& path, std::unique_ptr<SecretBuffer> bytes, std::function<void(Result)> done,
                      std::chrono::milliseconds patience) {
    auto pending = std::make_shared<Pending>();
    pending->path = path;
    pending->bytes = bytes ? std::move(bytes) : std::make_unique<SecretBuffer>();
    pending->done = std::move(done);
    pending->deadline = QDeadlineTimer(patience);
    attempt(pending);
}

QString FifoAnswer::describe(Result result) {
    switch (result) {
        case Result::Written:
            return QStringLiteral("answer written");
        case Result::NoReader:
            return QStringLiteral("nobody reads the pipe");
        case Result::NotOwnFifo:
            return QStringLiteral("the path is no named pipe of this user");
        case Result::Missing:
            return QStringLiteral("the pipe does not exist");
        case Result::Failed:
            return QStringLiteral("the reader went away during the write");
    }
    return {};
}
