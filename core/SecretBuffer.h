#pragma once

#include <QByteArray>
#include <cstddef>

#include "CoreDumpShield.h"

// An answer held in memory: pages of its own, left out of core dumps (MADV_DONTDUMP) and kept
// out of swap where allowed, overwritten when the buffer goes. Taking bytes from a QByteArray
// wipes that array's buffer.
class SecretBuffer {
public:
    SecretBuffer() = default;
    explicit SecretBuffer(QByteArray& bytes);
    ~SecretBuffer();
    SecretBuffer(const SecretBuffer&) = delete;
    SecretBuffer& operator=(const SecretBuffer&) = delete;

    const char* data() const { return m_data; }
    size_t size() const { return m_size; }
    bool isEmpty() const { return m_size == 0; }
    // A copy for an API that takes a QByteArray; the caller wipes it.
    QByteArray toByteArray() const { return QByteArray(m_data, static_cast<qsizetype>(m_size)); }
    // Overwrites the bytes in place and empties the buffer.
    void clear();

    // Overwrites a QByteArray's own buffer in place and empties it.
    static void wipe(QByteArray& bytes);

private:
    CoreDumpShield m_shield;
    char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_mapped = 0;
};
