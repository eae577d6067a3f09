#include "SecretBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

SecretBuffer::SecretBuffer(QByteArray& bytes) {
    const size_t n = static_cast<size_t>(bytes.size());
    if (n > 0) {
        const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
        const size_t length = (n + page - 1) / page * page;
        void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p != MAP_FAILED) {
            ::madvise(p, length, MADV_DONTDUMP);
            ::mlock(p, length);  // best effort: RLIMIT_MEMLOCK may refuse
            m_data = static_cast<char*>(p);
            m_mapped = length;
            std::memcpy(m_data, bytes.constData(), n);
            m_size = n;
        }
    }
    wipe(bytes);
}

SecretBuffer::~SecretBuffer() {
    clear();
    if (m_data) {
        ::munlock(m_data, m_mapped);
        ::munmap(m_data, m_mapped);
    }
}

void SecretBuffer::clear() {
    if (m_data) {
        volatile char* p = m_data;
        for (size_t i = 0; i < m_mapped; ++i) p[i] = 0;
    }
    m_size = 0;
}

void SecretBuffer::wipe(QByteArray& bytes) {
    if (!bytes.isEmpty() && !bytes.isDetached()) {
        // Shared: another holder keeps its copy; only drop ours.
        bytes.clear();
        return;
    }
    if (!bytes.isEmpty()) {
        volatile char* p = bytes.data();
        for (qsizetype i = 0; i < bytes.size(); ++i) p[i] = 0;
    }
    bytes.clear();
}
