// Fills a search-target list with the host's IPv4 interfaces that are up.
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <utility>

#include "core/alloc.h"
#include "core/file.h"
#include "core/guard.h"
#include "core/unique_fd.h"
#include "kivo8/ifinfo.h"
#include "kivo8/snmp_comm.h"

namespace {

constexpr std::size_t kFirstRecords = 100;
constexpr std::size_t kMoreRecords = 10;
constexpr char kDefaultCommunity[] = "vellum";

// The interface list as SIOCGIFCONF gave it, with the buffer that holds it.
struct IfconfAnswer {
  kivo8::UniqueMem<char> buffer;
  std::size_t length = 0;
};

// Asks again with a larger buffer until two answers in a row have the same length: the
// kernel fills what fits and says nothing about what did not, so only an answer that no
// longer changes when the buffer grows is known to be complete. Systems that report a
// short buffer with EINVAL instead are given a larger one until the first success.
bool read_interface_list(int fd, IfconfAnswer &answer) {
  std::size_t records = kFirstRecords;
  std::size_t remembered = 0;
  bool succeeded_before = false;
  for (;;) {
    std::size_t size = records * sizeof(struct ifreq);
    if (size > static_cast<std::size_t>(INT_MAX)) return false;
    kivo8::UniqueMem<char> buffer(static_cast<char *>(kivo8::mem_alloc(size)));
    if (!buffer) return false;

    struct ifconf ifc {};
    ifc.ifc_len = static_cast<int>(size);
    ifc.ifc_buf = buffer.get();
    if (fd < 0 || ioctl(fd, SIOCGIFCONF, &ifc) < 0) {
      if (fd >= 0 && errno == EINVAL && !succeeded_before) {
        records += kMoreRecords;
        continue;
      }
      return false;
    }
    succeeded_before = true;
    // A length outside the buffer would make the walk read past it; no kernel should
    // say so, but the walk must not depend on that.
    if (ifc.ifc_len < 0 || static_cast<std::size_t>(ifc.ifc_len) > size) return false;
    auto length = static_cast<std::size_t>(ifc.ifc_len);
    if (length == remembered) {
      answer.buffer = std::move(buffer);
      answer.length = length;
      return true;
    }
    remembered = length;
    records += kMoreRecords;
  }
}

struct in_addr address_of(const struct sockaddr &sa) {
  struct sockaddr_in sin;
  std::memcpy(&sin, &sa, sizeof sin);
  return sin.sin_addr;
}

// A further query about one interface; a failed query gives zero rather than whatever
// the request record happened to hold, so a half-known interface never shows the
// address of its own record as its broadcast address or netmask.
struct in_addr query_address(int fd, unsigned long request, const struct ifreq &record) {
  struct ifreq query = record;
  if (ioctl(fd, request, &query) < 0) return in_addr{0};
  return address_of(query.ifr_addr);
}

void add_interface(ifinfo **head_ref, int fd, const struct ifreq &record) {
  struct ifreq query = record;
  // Without its flags the interface cannot be known to be up, so it is left out.
  if (ioctl(fd, SIOCGIFFLAGS, &query) < 0) return;
  unsigned short flags = static_cast<unsigned short>(query.ifr_flags);
  if ((flags & IFF_UP) == 0) return;

  struct in_addr addr = address_of(record.ifr_addr);
  if (addr.s_addr == htonl(INADDR_LOOPBACK)) return;

  ifinfo *entry = ifinfo_new();
  if (entry == nullptr) return;
  // An entry without its community could not be searched: leave the interface out
  // rather than list a target that finds nothing.
  if (snmp_comm_add(&entry->comms, kDefaultCommunity) == nullptr) {
    ifinfo_free(entry);
    return;
  }
  // Linked while its broadcast address and netmask are still zero, so it replaces
  // nothing already listed but an entry without both, and two interfaces on one subnet
  // both stay.
  ifinfo_add(head_ref, entry);

  std::memcpy(entry->name, record.ifr_name, sizeof entry->name);
  entry->name[sizeof entry->name - 1] = '\0';
  entry->addr = addr;
  if ((flags & IFF_BROADCAST) != 0) entry->addr1 = query_address(fd, SIOCGIFBRDADDR, record);
  entry->addr2 = query_address(fd, SIOCGIFNETMASK, record);
  entry->addr3.s_addr = 0;
  entry->flag = 1;
}

void getlocal(ifinfo **head_ref) {
  kivo8::UniqueFd fd(socket(AF_INET, SOCK_DGRAM, 0));
  IfconfAnswer answer;
  if (!read_interface_list(fd.get(), answer)) return;

  static_assert(IFNAMSIZ == sizeof(ifinfo{}.name), "interface names fill the name field");
  char previous[IFNAMSIZ] = {};
  const std::size_t count = answer.length / sizeof(struct ifreq);
  for (std::size_t i = 0; i < count; ++i) {
    struct ifreq record;
    std::memcpy(&record, answer.buffer.get() + i * sizeof record, sizeof record);
    if (record.ifr_addr.sa_family != AF_INET) continue;
    record.ifr_name[IFNAMSIZ - 1] = '\0';
    // A logical interface ("eth0:1") is a further address of its interface.
    if (char *colon = std::strchr(record.ifr_name, ':'); colon != nullptr) *colon = '\0';
    if (std::strncmp(record.ifr_name, previous, IFNAMSIZ) == 0) continue;
    std::memcpy(previous, record.ifr_name, IFNAMSIZ);
    add_interface(head_ref, fd.get(), record);
  }
}

}  // namespace

extern "C" KIVO8_API void ifinfo_getlocal(ifinfo **head_ref) noexcept {
  kivo8::guarded_void([&] { getlocal(head_ref); });
}

extern "C" KIVO8_API void ifinfo_initwithlocal(ifinfo **head_ref) noexcept {
  ifinfo_init_list(head_ref);
  ifinfo_getlocal(head_ref);
}
