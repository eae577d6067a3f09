#pragma once

#include <string>

namespace testsupport {

// A fresh directory under $TMPDIR (default /tmp), made with mkdtemp (mode 0700) and removed with
// everything in it when this object goes away. Throws std::runtime_error when it cannot be made.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "zandrel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string& name) const;
    // A whole file's text (empty when it cannot be read).
    static std::string read(const std::string& path);

private:
    std::string m_path;
};

}  // namespace testsupport
