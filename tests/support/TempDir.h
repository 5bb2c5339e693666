#pragma once
#include <string>

namespace vexa::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it
// when the object goes away.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "vexa-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string m_path;
};

}  // namespace vexa::test
