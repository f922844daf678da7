#pragma once

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

// Runs the rest of a scope as the unprivileged user "nobody" (real and effective ids, every
// thread of the process), keeping root as the saved id so that the scope's end can return to
// root. Root ignores permission bits: a test of an unwritable place must run that part as
// somebody else. ok() is false when the switch failed.
class AsNobody {
  public:
    AsNobody() {
        const passwd* user = ::getpwnam("nobody");
        const group* group = ::getgrnam("nogroup");
        if (user == nullptr || group == nullptr) {
            return;
        }
        m_uid = user->pw_uid;
        m_gid = group->gr_gid;
        // The groups to return to: as many as the second call read (none when it failed).
        const int count = ::getgroups(0, nullptr);
        m_groups.resize(static_cast<size_t>(count > 0 ? count : 0));
        const int read = count > 0 ? ::getgroups(count, m_groups.data()) : 0;
        m_groups.resize(static_cast<size_t>(read > 0 ? read : 0));
        m_ok = ::setgroups(0, nullptr) == 0 && ::setresgid(m_gid, m_gid, 0) == 0 &&
               ::setresuid(m_uid, m_uid, 0) == 0;
    }
    ~AsNobody() {
        if (::setresuid(0, 0, 0) == 0 && ::setresgid(0, 0, 0) == 0) {
            ::setgroups(m_groups.size(), m_groups.data());
        }
    }
    AsNobody(const AsNobody&) = delete;
    AsNobody& operator=(const AsNobody&) = delete;

    bool ok() const { return m_ok; }
    uid_t uid() const { return m_uid; }
    gid_t gid() const { return m_gid; }

  private:
    bool m_ok = false;
    uid_t m_uid = 65534;
    gid_t m_gid = 65534;
    std::vector<gid_t> m_groups;
};
