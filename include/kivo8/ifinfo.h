/* Search targets: where the front end looks for devices.
 *
 * An ifinfo entry is a local interface (non-empty name), a broadcast address, an address
 * range or an SLP search; the kind follows from the name and the id (ifinfo_get_type).
 * Each entry owns its community list and, for an SLP entry, its scope text. A list owns
 * the entries linked into it; an entry not yet added belongs to its creator.
 *
 * The library keeps one global list. Every list argument that is null stands for it: a
 * null head_ref means the global head, a null first means the global list's first entry
 * (so an empty private list passed as first is read as the global list).
 *
 * Addresses are struct in_addr in network order; where they are ordered they are taken
 * as unsigned 32-bit numbers, first octet most significant. Results: counts and kind
 * codes as int32_t; null for "none"; ifinfo_checkip 0 (belongs) or -1. */
#ifndef KIVO8_IFINFO_H
#define KIVO8_IFINFO_H

#include <netinet/in.h>
#include <stdint.h>

#include "kivo8_export.h"
#include "snmp_comm.h"

#define IFINFO_LOCAL 0
#define IFINFO_BCAST 1
#define IFINFO_RANGE 2
#define IFINFO_SLP 3

KIVO8_BEGIN_DECLS

typedef struct ifinfo {
  struct ifinfo *next;
  int32_t id;
  struct in_addr addr;  /* local interface's own address; zero for other kinds */
  struct in_addr addr1; /* broadcast address, or first address of a range */
  struct in_addr addr2; /* netmask, or last address of a range; zero for SLP */
  struct in_addr addr3; /* kept and saved, not interpreted */
  char name[16];        /* interface name; empty for every kind but local */
  int32_t count;        /* time-out in seconds, at least 1; 3 in a new entry */
  int32_t flag;         /* SLP hop count: multicast leaves with TTL flag + 1 */
  snmp_comm *comms;     /* community names, owned */
  char *scopes;         /* SLP entry: owned comma-separated scope list, else null */
} ifinfo;

KIVO8_API ifinfo *ifinfo_new(void) KIVO8_NOEXCEPT;
KIVO8_API ifinfo *ifinfo_copy(const ifinfo *entry) KIVO8_NOEXCEPT;
KIVO8_API void ifinfo_free(ifinfo *entry) KIVO8_NOEXCEPT;
KIVO8_API void ifinfo_free_list(ifinfo *first) KIVO8_NOEXCEPT;
KIVO8_API void ifinfo_init_list(ifinfo **head_ref) KIVO8_NOEXCEPT;
KIVO8_API void ifinfo_add(ifinfo **head_ref, ifinfo *entry) KIVO8_NOEXCEPT;
KIVO8_API void ifinfo_remove(ifinfo **head_ref, ifinfo *entry) KIVO8_NOEXCEPT;
KIVO8_API void ifinfo_renumber_ids(ifinfo *first) KIVO8_NOEXCEPT;

KIVO8_API int32_t ifinfo_get_num(ifinfo *first) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_get_num_type(ifinfo *first, int32_t kind) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_get_num_local(ifinfo *first) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_get_num_bcast(ifinfo *first) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_get_num_range(ifinfo *first) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_get_num_slp(ifinfo *first) KIVO8_NOEXCEPT;
KIVO8_API ifinfo *ifinfo_getat(ifinfo *first, int32_t n) KIVO8_NOEXCEPT;
KIVO8_API ifinfo *ifinfo_search_id(ifinfo *first, int32_t id) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_get_type(const ifinfo *entry) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_checkip(const ifinfo *entry,
                                 const struct in_addr *address_ptr) KIVO8_NOEXCEPT;
KIVO8_API ifinfo *ifinfo_getif(ifinfo *first, const struct in_addr *address_ptr) KIVO8_NOEXCEPT;
KIVO8_API ifinfo *ifinfo_getif_ex(ifinfo *first,
                                  const struct in_addr *address_ptr) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_isbroadcast(const ifinfo *entry) KIVO8_NOEXCEPT;

/* ---- interface discovery, persistence and address iteration (added by their owners) ---- */

/* -- interface discovery --
 * ifinfo_getlocal adds one local-interface entry (community "vellum", flag 1) for each
 * IPv4 interface that is up, 127.0.0.1 excepted, each inserted first, so they stand in
 * the reverse of the system's order. Nothing is reported; a failed enumeration adds
 * nothing more. ifinfo_initwithlocal empties the head WITHOUT freeing what it held, then
 * discovers: free an old list with ifinfo_free_list first if it is no longer needed. */
KIVO8_API void ifinfo_getlocal(ifinfo **head_ref) KIVO8_NOEXCEPT;
KIVO8_API void ifinfo_initwithlocal(ifinfo **head_ref) KIVO8_NOEXCEPT;

/* -- address iteration --
 * ifinfo_init_iplist expands every range entry of a list into one table of single
 * addresses (null when the ranges hold more than 262,144 addresses or memory runs out).
 * The record owns its array, not the entries its owner fields point at: the list must
 * outlive the record and stay unchanged while it is built. Any number of threads may
 * draw with ifinfo_iplist_getnext (under lock slot MT_RES_IFINFO, 1: mt_res_init must
 * have run); each address is handed out once, then null. Free with ifinfo_free_iplist
 * after every thread has stopped drawing; null is ignored. */
typedef struct ifinfo_ipentry {
  struct in_addr addr; /* one address of a range */
  ifinfo *owner;       /* the range entry that produced it; borrowed */
} ifinfo_ipentry;

typedef struct ifinfo_iplist {
  int32_t count;           /* addresses stored in entries */
  int32_t current;         /* addresses handed out so far; index of the next */
  ifinfo_ipentry *entries; /* in draw order; null when count is 0 */
} ifinfo_iplist;

/* Addresses covered by the range entries, both ends counted, reversed ranges too;
 * a total beyond 4,294,967,295 is held at that value. */
KIVO8_API uint32_t count_ip_in_range(ifinfo *first) KIVO8_NOEXCEPT;
KIVO8_API ifinfo_iplist *ifinfo_init_iplist(ifinfo *first) KIVO8_NOEXCEPT;
KIVO8_API ifinfo_ipentry *ifinfo_iplist_getnext(ifinfo_iplist *record) KIVO8_NOEXCEPT;
/* May be read while other threads draw, for progress displays. */
KIVO8_API int32_t ifinfo_iplist_getcurrent(ifinfo_iplist *record) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_iplist_getcount(ifinfo_iplist *record) KIVO8_NOEXCEPT;
KIVO8_API void ifinfo_free_iplist(ifinfo_iplist *record) KIVO8_NOEXCEPT;
/* -- end of interface discovery and address iteration -- */

/* -- persistence --
 * The list is saved in the preference file's section "network": "total" and the keys 1 to
 * n, one line per entry (id, three addresses or the scope list with "!" for ",", count,
 * flag, then the community names, a backslash before each comma and backslash). The
 * preference directory must be set first (lanset_set_preference_dir).
 * ifinfo_toline writes the entry's line into buffer (size counts the terminator, at least
 * 59): 0, or -1 with the buffer empty when the entry has no community name, is of no known
 * kind, or its line does not fit whole. ifinfo_new_with returns a new unlinked entry that
 * the caller owns, or null for a rejected line (or exhausted memory). ifinfo_read_preference
 * adds the saved entries to the list (null: the global list) with ifinfo_add, so that a
 * saved entry takes the place of the discovered interface it matches, and returns the head
 * address used; a missing file or section adds nothing and malformed lines are skipped.
 * ifinfo_write_preference saves the list that begins at first (null: the global list) in
 * one replacement of the file, so a crash leaves the old saved list or the new one whole:
 * 0 when the file was written, -1 when it could not be (a failure before the file is
 * replaced leaves the old one unchanged).
 * An entry whose line cannot be made is saved as an empty value and lost on reading. */
KIVO8_API int32_t ifinfo_toline(const ifinfo *entry, char *buffer, int32_t size) KIVO8_NOEXCEPT;
KIVO8_API ifinfo *ifinfo_new_with(const char *line) KIVO8_NOEXCEPT;
KIVO8_API ifinfo **ifinfo_read_preference(ifinfo **head_ref) KIVO8_NOEXCEPT;
KIVO8_API int32_t ifinfo_write_preference(ifinfo *first) KIVO8_NOEXCEPT;
/* -- end of persistence -- */

/* ---- end of the blocks of the other owners ---- */

KIVO8_END_DECLS

#endif
