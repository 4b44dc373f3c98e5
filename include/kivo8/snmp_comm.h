/* (module header: declarations to come) */
#ifndef KIVO8_SNMP_COMM_H
#define KIVO8_SNMP_COMM_H

#include <stdint.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

KIVO8_END_DECLS

#endif
