#pragma once

#include <memory>
#include <string>

#include "TempDir.h"

namespace testsupport {

// A throwaway local user with a password, for password and keyboard-interactive logins to an
// SshdFixture (PAM checks the password). Root only. Made with useradd (name zdrtestNNNN, home in a
// temp dir, shell /bin/sh) and chpasswd; removed with userdel -r -f when this object goes away.
class TestAccount {
public:
    TestAccount();
    ~TestAccount();
    TestAccount(const TestAccount&) = delete;
    TestAccount& operator=(const TestAccount&) = delete;

    // True when this process can add users: real root (not root of a user namespace, which may not
    // write /etc/passwd) with useradd, chpasswd and userdel present.
    static bool supported();
    // Adds the user and sets a random password. False: error().
    bool create();
    // A new random password, as a server's administrator would set. False: error().
    bool changePassword();
    // Removes the user (also done by the destructor).
    void remove();

    const std::string& name() const { return m_name; }
    const std::string& password() const { return m_password; }
    const std::string& home() const { return m_home; }
    const std::string& error() const { return m_error; }

private:
    std::unique_ptr<TempDir> m_homeParent;
    std::string m_name, m_password, m_home, m_error;
    bool m_created = false;
};

}  // namespace testsupport
