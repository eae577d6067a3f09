#include "TestAccount.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "Subprocess.h"

namespace testsupport {
namespace {

std::string randomString(std::mt19937_64& rng, const std::string& alphabet, int length) {
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string s;
    for (int i = 0; i < length; ++i) s += alphabet[pick(rng)];
    return s;
}

// useradd, chpasswd and userdel lock /etc/passwd; tests running side by side may hold that lock.
int runLocked(const std::vector<std::string>& argv, std::string* output, const Subprocess::Options& options = {}) {
    int rc = -1;
    for (int attempt = 0; attempt < 20; ++attempt) {
        rc = Subprocess::run(argv, output, options);
        if (rc == 0 || output->find("lock") == std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return rc;
}

}  // namespace

TestAccount::TestAccount() = default;

TestAccount::~TestAccount() { remove(); }

bool TestAccount::supported() {
    return geteuid() == 0 && access("/etc/passwd", W_OK) == 0 && access("/etc/shadow", W_OK) == 0 &&
           access("/usr/sbin/useradd", X_OK) == 0 && access("/usr/sbin/chpasswd", X_OK) == 0 &&
           access("/usr/sbin/userdel", X_OK) == 0;
}

bool TestAccount::create() {
    if (m_created) return true;
    if (!supported()) {
        m_error = "creating users needs root";
        return false;
    }
    std::mt19937_64 rng(std::random_device{}());
    do m_name = "zdrtest" + randomString(rng, "0123456789", 4);
    while (getpwnam(m_name.c_str()));
    m_homeParent = std::make_unique<TempDir>("zandrel-account");
    chmod(m_homeParent->path().c_str(), 0755);  // the user must reach its home
    m_home = m_homeParent->file(m_name);

    std::string output;
    if (runLocked({"/usr/sbin/useradd", "-m", "-U", "-d", m_home, "-s", "/bin/sh", m_name}, &output) != 0) {
        m_error = "useradd: " + output;
        return false;
    }
    m_created = true;
    if (!changePassword()) {
        remove();
        return false;
    }
    return true;
}

bool TestAccount::changePassword() {
    std::mt19937_64 rng(std::random_device{}());
    m_password = randomString(rng, "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789", 20);
    std::string output;
    Subprocess::Options input;
    input.input = m_name + ":" + m_password + "\n";
    if (runLocked({"/usr/sbin/chpasswd"}, &output, input) != 0) {
        m_error = "chpasswd: " + output;
        return false;
    }
    return true;
}

void TestAccount::remove() {
    if (!m_created) return;
    std::string output;
    // -f: also while an sshd session of the user still runs.
    runLocked({"/usr/sbin/userdel", "-r", "-f", m_name}, &output);
    m_created = false;
    m_homeParent.reset();
}

}  // namespace testsupport
