// dirsec: see dirsec.h.
#include "platform/dirsec.h"

#include <acl/libacl.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>

#include <cstdio>
#include <vector>

namespace {

// passwd entries larger than this are treated as a failed lookup.
constexpr size_t kMaxNssBuffer = 1024 * 1024;
constexpr size_t kInitialNssBuffer = 16384;

// Owns an acl_t.
class Acl {
 public:
  explicit Acl(acl_t acl = nullptr) : acl_(acl) {}
  ~Acl() { Reset(nullptr); }
  Acl(const Acl &) = delete;
  Acl &operator=(const Acl &) = delete;
  acl_t &Get() { return acl_; }
  void Reset(acl_t acl) {
    if (acl_ != nullptr) acl_free(acl_);
    acl_ = acl;
  }

 private:
  acl_t acl_;
};

// Looking up the account's "SID": its user id.
bool AccountUid(const std::string &account, uid_t *uid) {
  for (size_t size = kInitialNssBuffer; size <= kMaxNssBuffer; size *= 2) {
    std::vector<char> buf(size);
    struct passwd pw, *result = nullptr;
    int rc = getpwnam_r(account.c_str(), &pw, buf.data(), buf.size(), &result);
    if (rc == ERANGE) continue;
    if (result == nullptr) return false;
    *uid = pw.pw_uid;
    return true;
  }
  return false;
}

acl_perm_t PermsOf(DWORD mask) {
  acl_perm_t perms = 0;
  if (mask & (GENERIC_READ | GENERIC_ALL)) perms |= ACL_READ;
  if (mask & (GENERIC_WRITE | GENERIC_ALL)) perms |= ACL_WRITE;
  if (mask & (GENERIC_EXECUTE | GENERIC_ALL)) perms |= ACL_EXECUTE;
  return perms;
}

bool NoAclSupport(int err) { return err == EOPNOTSUPP || err == ENOTSUP; }

void Diagnose(const char *line) {
  std::printf(line, errno);
  std::fflush(stdout);
}

// The ACL_USER entry of uid, or null.
bool FindUserEntry(acl_t acl, uid_t uid, acl_entry_t *found) {
  *found = nullptr;
  acl_entry_t e;
  for (int id = ACL_FIRST_ENTRY;; id = ACL_NEXT_ENTRY) {
    int rc = acl_get_entry(acl, id, &e);
    if (rc == 0) return true;
    if (rc < 0) return false;
    acl_tag_t tag;
    if (acl_get_tag_type(e, &tag) != 0) return false;
    if (tag != ACL_USER) continue;
    auto *q = static_cast<uid_t *>(acl_get_qualifier(e));
    if (q == nullptr) return false;
    bool same = *q == uid;
    acl_free(q);
    if (same) {
      *found = e;
      return true;
    }
  }
}

bool AddPerms(acl_entry_t e, acl_perm_t perms) {
  acl_permset_t ps;
  if (acl_get_permset(e, &ps) != 0) return false;
  for (acl_perm_t p : {ACL_READ, ACL_WRITE, ACL_EXECUTE}) {
    if ((perms & p) != 0 && acl_add_perm(ps, p) != 0) return false;
  }
  return acl_set_permset(e, ps) == 0;
}

// The account's entry gains perms; a new entry when it has none. Then the
// mask is recomputed, so the entry is effective.
bool AddUserEntry(Acl &acl, uid_t uid, acl_perm_t perms) {
  acl_entry_t e;
  if (!FindUserEntry(acl.Get(), uid, &e)) {
    Diagnose("Error %d: GetAce\n");
    return false;
  }
  if (e == nullptr) {
    bool made = acl_create_entry(&acl.Get(), &e) == 0 && acl_set_tag_type(e, ACL_USER) == 0 &&
                acl_set_qualifier(e, &uid) == 0;
    if (!made) {
      Diagnose("Error %d:AddAccessAllowedAce");
      return false;
    }
  }
  if (!AddPerms(e, perms)) {
    Diagnose("Error %d:AddAccessAllowedAce");
    return false;
  }
  if (acl_calc_mask(&acl.Get()) != 0) {
    Diagnose("Error %d:SetSecurityDescriptorDacl");
    return false;
  }
  return true;
}

// The default ACL, or one made from the directory's mode when it has none.
bool DefaultAclOf(const std::string &path, Acl &acl) {
  acl.Reset(acl_get_file(path.c_str(), ACL_TYPE_DEFAULT));
  if (acl.Get() == nullptr) {
    Diagnose("Error %d:GetFileSecurity\n");
    return false;
  }
  if (acl_entries(acl.Get()) > 0) return true;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    Diagnose("Error %d:GetFileSecurity\n");
    return false;
  }
  acl.Reset(acl_from_mode(st.st_mode));
  if (acl.Get() == nullptr) {
    Diagnose("Error %d:InitializeAcl\n");
    return false;
  }
  return true;
}

// true: done (or no ACL support); false: failed, line printed.
bool Grant(const std::string &path, acl_type_t type, uid_t uid, acl_perm_t perms) {
  Acl acl;
  if (type == ACL_TYPE_ACCESS) {
    acl.Reset(acl_get_file(path.c_str(), type));
    if (acl.Get() == nullptr) {
      if (NoAclSupport(errno)) return true;
      Diagnose("Error %d:GetFileSecurity\n");
      return false;
    }
  } else if (!DefaultAclOf(path, acl)) {
    return false;
  }
  if (!AddUserEntry(acl, uid, perms)) return false;
  if (acl_set_file(path.c_str(), type, acl.Get()) != 0) {
    if (NoAclSupport(errno)) return true;
    Diagnose("Error %d:SetFileSecurity\n");
    return false;
  }
  return true;
}

std::string PermString(acl_entry_t e) {
  acl_permset_t ps;
  if (acl_get_permset(e, &ps) != 0) return "";
  std::string s = "---";
  if (acl_get_perm(ps, ACL_READ) == 1) s[0] = 'r';
  if (acl_get_perm(ps, ACL_WRITE) == 1) s[1] = 'w';
  if (acl_get_perm(ps, ACL_EXECUTE) == 1) s[2] = 'x';
  return s;
}

}  // namespace

bool GrantDirectoryAccess(const std::string &path, const std::string &account, DWORD aceFlags,
                          DWORD accessMask) {
  uid_t uid;
  if (!AccountUid(account, &uid)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  acl_perm_t perms = PermsOf(accessMask);
  if (!Grant(path, ACL_TYPE_ACCESS, uid, perms)) return false;
  if ((aceFlags & CONTAINER_INHERIT_ACE) == 0) return true;
  // A file system that took no access ACL has no default ACL either.
  Acl probe(acl_get_file(path.c_str(), ACL_TYPE_ACCESS));
  if (probe.Get() == nullptr && NoAclSupport(errno)) return true;
  return Grant(path, ACL_TYPE_DEFAULT, uid, perms);
}

std::string DirectoryAclEntry(const std::string &path, const std::string &account,
                              bool defaultAcl) {
  uid_t uid;
  if (!AccountUid(account, &uid)) return "";
  Acl acl(acl_get_file(path.c_str(), defaultAcl ? ACL_TYPE_DEFAULT : ACL_TYPE_ACCESS));
  acl_entry_t e;
  if (acl.Get() == nullptr || !FindUserEntry(acl.Get(), uid, &e) || e == nullptr) return "";
  return PermString(e);
}
