/* SNMP community names kept in small singly linked lists.
 *
 * Every search target owns one list; an SNMP session points at one entry of such a list
 * (not owned). A list is named by the cell that holds its first entry (null: empty).
 * Functions that change a list take the address of that cell (head_ref); functions that
 * only read take the first entry. Each entry owns its zero-terminated text. New entries
 * go in front, so position 0 is the name added last.
 *
 * snmp_comm_add returns null (list unchanged) for a null or empty name, a name already
 * in the list (compared byte for byte) or exhausted memory. snmp_comm_rename leaves the
 * entry unchanged when a larger text block cannot be had. snmp_comm_null is a static
 * empty entry, the community of a session that has been given none; it is never
 * freed and belongs to no list. */
#ifndef KIVO8_SNMP_COMM_H
#define KIVO8_SNMP_COMM_H

#include <stdint.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

typedef struct snmp_comm {
  struct snmp_comm *next; /* first field: a pointer to an entry is also a link cell */
  int32_t length;         /* bytes of name, terminator not counted */
  char *name;
} snmp_comm;

extern KIVO8_API snmp_comm snmp_comm_null;

KIVO8_API void snmp_comm_init(snmp_comm **head_ref) KIVO8_NOEXCEPT;
KIVO8_API snmp_comm *snmp_comm_add(snmp_comm **head_ref, const char *name) KIVO8_NOEXCEPT;
KIVO8_API void snmp_comm_remove(snmp_comm **head_ref, snmp_comm *comm) KIVO8_NOEXCEPT;
KIVO8_API void snmp_comm_rename(snmp_comm *comm, const char *name) KIVO8_NOEXCEPT;
KIVO8_API void snmp_comm_free(snmp_comm **head_ref) KIVO8_NOEXCEPT;
KIVO8_API snmp_comm *snmp_comm_getat(snmp_comm *first, int32_t index) KIVO8_NOEXCEPT;
KIVO8_API int32_t snmp_comm_count(snmp_comm *first) KIVO8_NOEXCEPT;
KIVO8_API snmp_comm *snmp_comm_find(snmp_comm *first, const char *name) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
