/* libkivo8: network printer discovery. Include this to get the whole interface. */
#ifndef KIVO8_KIVO8_H
#define KIVO8_KIVO8_H

#include "mt_support.h"
#include "asn1.h"
#include "snmp_comm.h"
#include "snmp_sess.h"
#include "udp_sess.h"
#include "tcp_utils.h"
#include "ifinfo.h"
#include "slp_sess.h"
#include "device.h"
#include "dev_group.h"
#include "snmp_wrapper.h"
#include "preference.h"
#include "common_utils.h"
#include "c_crypt.h"
#include "transtext.h"
#include "xtext_kivo.h"
#include "discover.h"
#include "snmpv3.h"
#include "status.h"
#include "ipp.h"

#endif
