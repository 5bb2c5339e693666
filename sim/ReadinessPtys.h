#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vexa::sim {

// What a client of a simulated hidraw node really opens. umockdev forwards
// read, write and ioctl on the node to the simulator but not poll, so the
// client's poll() looks at the file itself: a raw-mode pty holding one byte
// per report waiting for that client.
//
// The kernel's hidraw gives each open handle its own readiness. To do the
// same, every open gets a pty of its own: the node (a symlink) points at a
// pty nobody holds yet, and once a client has opened it the node is pointed
// at a fresh one. inotify counts the opens and closes of each pty, which
// tells which pty a newly connected client holds, and when all of a pty's
// clients have closed it (umockdev itself does not tell about closes). Two
// clients that open the node at the very same moment can still end up on one
// pty (inotify then reports their two opens as one); they share its
// readiness (see setLevel).
//
// hidapi looks an open handle's device up by the number fstat() gives (the
// pty's real one; the preload does not fake it), and libudev accepts a
// device only if its own number matches. The first pty's number is the
// hidraw device's; each later pty gets a sysfs alias of the hidraw device
// with its number, reachable by that number but not listed in its class, so
// enumeration still finds the device once.
//
// Not thread-safe: the hidraw node calls it under its lock.
class CReadinessPtys {
public:
    using Id = unsigned;

    // root: the testbed's root directory; devnode: "/dev/hidrawN";
    // sysfsDevice: the hidraw device's path in sysfs ("/sys/devices/...").
    CReadinessPtys(std::string root, std::string devnode, std::string sysfsDevice);
    ~CReadinessPtys();
    CReadinessPtys(const CReadinessPtys&) = delete;
    CReadinessPtys& operator=(const CReadinessPtys&) = delete;

    // Takes over the pty umockdev made behind the node (its master stays
    // umockdev's) as the first one. Throws std::runtime_error.
    void adopt(int masterFd);
    // The device number of the first pty, "major:minor".
    const std::string& firstDeviceNumber() const { return m_firstNumber; }

    // The pty that a client which has just connected holds. From now on the
    // node points at a pty nobody holds.
    Id claim();
    // A pty some of whose handles are gone: `gone` handles bound to it were
    // closed, which ones is known only when that is all of them.
    struct Closed {
        Id pty;
        int gone;
        bool all;
    };
    // Reads the opens and closes seen so far; returns every pty with fewer
    // clients than handles bound to it.
    std::vector<Closed> closedSinceLastLook();
    // A handle bound to this pty is gone.
    void release(Id id);
    // Makes the pty hold exactly `count` bytes, so its clients' poll() says
    // readable while count > 0. A pty shared by several handles gets the
    // largest count among them.
    void setLevel(Id id, size_t count);
    // The device is gone: every pty becomes readable for good (reads fail)
    // and the numbers lead nowhere any more.
    void deviceGone();
    // The bytes the pty holds (0 when it is not readable).
    size_t level(Id id) const;
    // "/dev/pts/N", for log lines.
    std::string path(Id id) const;

private:
    struct Pty {
        int master = -1;
        bool ownsMaster = false;
        int drain = -1;  // our own slave descriptor, to take bytes back
        int watch = -1;
        std::string path;        // "/dev/pts/N"
        std::string numberLink;  // <root>/sys/dev/char/MAJ:MIN, when we made it
        std::string alias;       // the sysfs alias directory, for all but the first pty
        int opens = 0;           // clients that have it open
        int handles = 0;         // handles bound to it
        size_t level = 0;        // bytes it holds
    };

    Id addPty(int master, bool ownsMaster, const std::string& path);
    void publishNumber(Pty& pty, const std::string& number);
    void withdrawNumber(Pty& pty);
    void openPty();
    void pointNodeAt(Id id);
    void rotateIfTaken();
    void retireIfUnused(Id id);
    void closePty(Pty& pty);
    void write(Pty& pty, size_t count);
    void drain(Pty& pty, size_t count);

    const std::string m_root;
    const std::string m_devnode;
    const std::string m_sysfsDevice;
    int m_inotify = -1;
    std::map<Id, Pty> m_ptys;  // ordered by id: older ptys first
    std::map<int, Id> m_byWatch;
    Id m_nextId = 0;
    Id m_target = 0;      // what the node points at
    Id m_lastOpened = 0;  // the pty of the last open seen
    std::string m_firstNumber;
    bool m_gone = false;
};

}  // namespace vexa::sim
