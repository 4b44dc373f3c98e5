// The page of `kivo report` for fleets of 256 to 4096 printers, each with four supplies,
// two print URIs and an alert: the time to write it and its size. The page should be
// written in well under a second for the 4096 devices a discovery keeps by default.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "report_html.h"

namespace {

std::vector<kivo::report::Device> fleet(int count) {
  using kivo::report::Device;
  using kivo::report::Supply;
  std::vector<Device> devices;
  const char *colorants[] = {"black", "cyan", "magenta", "yellow"};
  for (int i = 0; i < count; ++i) {
    Device d;
    d.kind = i % 10 == 9 ? "other" : "printer";
    d.address = "10." + std::to_string(i / 65536) + "." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
    d.addresses = {d.address};
    d.name = "Acme Jet " + std::to_string(100 + i % 7) + " <" + std::to_string(i) + ">";
    d.make = "Acme";
    d.model = "Jet " + std::to_string(100 + i % 7);
    d.location = "Building " + std::to_string(i % 13) + ", floor " + std::to_string(i % 4);
    d.serial = "ACM-" + std::to_string(i);
    d.found_by = {"broadcast", "mdns"};
    d.state = "idle";
    if (i % 5 == 0) d.alerts = {{"warning", "marker", "markerTonerAlmostEmpty", "Toner low"}};
    for (int k = 0; k < 4; ++k) {
      Supply s;
      s.index = k + 1;
      s.description = std::string(colorants[k]) + " toner";
      s.colorant = colorants[k];
      s.percent = (i * 7 + k * 31) % 101;
      d.supplies.push_back(s);
    }
    d.page_count = i * 1000;
    d.endpoints = {{"ipp://" + d.address + ":631/ipp/print", "ipp", 631, ""},
                   {"socket://" + d.address + ":9100", "socket", 9100, ""}};
    devices.push_back(std::move(d));
  }
  return devices;
}

void BM_ReportPage(benchmark::State &state) {
  const auto devices = fleet(static_cast<int>(state.range(0)));
  const kivo::report::Summary summary{"2026-12-10 21:00 UTC", "bench", {"eth0 10.0.0.1/16"}};
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string page = kivo::report::render_page(devices, summary);
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.counters["page_bytes"] = static_cast<double>(bytes);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ReportPage)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
