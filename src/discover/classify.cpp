// How a device is classed and named, from everything the searches learnt about it.
#include "discover/classify.h"

#include "discover/endpoint_search.h"
#include "discover/naming.h"

namespace kivo::discover {

std::string_view maker_of_engine_id(std::span<const std::uint8_t> id) {
  // RFC 3411: with the first bit set, the first four octets are the enterprise number
  // (that bit cleared) and the fifth says how the rest is formed. Without it, the id is
  // the older 12-octet form, which starts with the enterprise number too.
  if (id.size() < 5) return {};
  const std::uint32_t enterprise = (std::uint32_t{id[0]} << 24 | std::uint32_t{id[1]} << 16 |
                                    std::uint32_t{id[2]} << 8 | std::uint32_t{id[3]}) &
                                   0x7FFFFFFFu;
  if ((id[0] & 0x80u) == 0 && id.size() != 12) return {};
  return maker_of_enterprise(enterprise);
}

void classify(Device &d) {
  NamingInput in;
  in.sys_descr = d.sys_descr;
  in.hr_device_descr = d.hr_device_descr;
  in.printer_name = d.printer_name;
  in.sys_object_id = d.sys_object_id_raw;
  in.device_id_standard = d.device_id_standard;
  in.device_id_private = d.device_id_private;
  in.answered_snmp = d.snmp_version >= 0;
  in.ipp_make_and_model = d.ipp.make_and_model;
  if (!d.services.empty()) {
    const Service &s = d.services.front();
    in.mdns_instance = s.instance;
    for (const auto &[k, v] : s.txt) {
      if (k == "product") in.mdns_product = v;
      else if (k == "ty") in.mdns_ty = v;
      else if (k == "usb_MFG") in.mdns_usb_mfg = v;
      else if (k == "usb_MDL") in.mdns_usb_mdl = v;
    }
  }
  Naming n = choose_name(in);
  d.make = std::move(n.make);
  d.model = std::move(n.model);
  d.product_name = std::move(n.product_name);
  // An agent known only by its engine id still names its maker there.
  if (d.make.empty()) d.make = std::string(maker_of_engine_id(d.engine_id));
  d.device_id.clear();
  d.mfg.clear();
  d.mdl.clear();
  d.cmd.clear();
  // SNMP's device ids first; a printer known only by IPP has printer-device-id.
  for (const std::string *raw : {&d.device_id_standard, &d.device_id_private, &d.ipp.device_id}) {
    if (raw->empty()) continue;
    if (auto id = parse_device_id(*raw)) {
      d.device_id = *raw;
      d.mfg = id->manufacturer;
      d.mdl = id->model;
      d.cmd = id->command_set;
      break;
    }
  }
  // A printer is what its SNMP description showed (the searches that read it set the
  // kind) or what announced itself as one by SLP or DNS-SD. An agent that answered only
  // the SNMPv3 engine-id probe told nothing of what it is: its kind stays unknown.
  d.endpoints = list_endpoints(d);
  if (d.kind == Kind::kPrinter) return;
  // A device that announces a printer service by DNS-SD, or answers IPP's
  // Get-Printer-Attributes, is a printer, whatever else it answered.
  if (!d.services.empty() || d.ipp.answered) d.kind = d.snmp_version >= 0 ? Kind::kPrinter : Kind::kPrinterNoSnmp;
  else if (d.snmp_version >= 0) d.kind = Kind::kOther;
  else if ((d.found_by & (kFoundSlp | kFoundMdns)) != 0) d.kind = Kind::kPrinterNoSnmp;
  else d.kind = Kind::kUnknown;
}

}  // namespace kivo::discover
