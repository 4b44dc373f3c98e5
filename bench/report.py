"""Turns the JSON results of bench/run into docs/PERFORMANCE.md (printed on stdout).

usage: report.py RESULTS_DIR ROUNDS
Every figure is the median over the rounds of the per-round result; a ratio is the median
of the per-round ratios of two results that ran back to back (the same round), or the
ratio of medians where the two sides are not paired. bench/notes.md, written by hand, is
appended as the closing note.
"""
import datetime
import glob
import json
import os
import platform
import re
import statistics
import subprocess
import sys

results, rounds = sys.argv[1], int(sys.argv[2])
UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}

# (program, benchmark name) -> {round: result record}
runs = {}
context = {}
for path in sorted(glob.glob(os.path.join(results, "*.json"))):
    program, round_text = os.path.basename(path).split(".")[:2]
    try:
        with open(path) as f:
            data = json.load(f)
    except (OSError, ValueError):
        continue
    context = data.get("context", context)
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        runs.setdefault((program, b["name"]), {})[int(round_text)] = b


def find_rounds(program, prefix):
    for (p, name), recs in runs.items():
        if p == program and (name == prefix or name.startswith(prefix + "/")):
            return recs
    return None


def find(program, prefix):
    recs = find_rounds(program, prefix)
    return list(recs.values()) if recs else None


def value(r, field):
    v = r.get(field)
    if v is not None and field in ("cpu_time", "real_time"):
        v = v * UNIT_NS[r.get("time_unit", "ns")]
    return v


def round_ratio(pa, a, pb, b, field="real_time"):
    """Median over rounds of the ratio between two results of the same round: the two
    ran back to back, so this cancels most of what a shared machine's load does to
    wall-clock time."""
    ra, rb = find_rounds(pa, a), find_rounds(pb, b)
    if not ra or not rb:
        return None
    ratios = [value(ra[k], field) / value(rb[k], field) for k in ra if k in rb and value(rb[k], field)]
    return statistics.median(ratios) if ratios else None


def med(program, prefix, field="cpu_time"):
    """Median of a field over the rounds; times in nanoseconds."""
    recs = find(program, prefix)
    if not recs:
        return None
    values = [float(value(r, field)) for r in recs if value(r, field) is not None]
    return statistics.median(values) if values else None


def n_of(program, prefix):
    recs = find(program, prefix)
    return len(recs) if recs else 0


def fmt(v, digits=1):
    if v is None:
        return "n/a"
    if abs(v) >= 100:
        return f"{v:,.0f}"
    return f"{v:,.{digits}f}"


def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None


verdicts = []


def verdict(name, ok, text):
    if ok is None:
        state = "NOT MEASURED"
    else:
        state = "met" if ok else "MISSED"
    verdicts.append(f"| {name} | {text} | {state} |")


out = []
w = out.append

# ---- machine ----------------------------------------------------------------------
cpu = "unknown CPU"
try:
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
except OSError:
    pass
try:
    cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
except (OSError, IndexError):
    cxx = "unknown compiler"
load = context.get("load_avg", [])
w("# Performance")
w("")
w("Written by `bench/run` from one run; do not edit by hand (the closing note comes from")
w("`bench/notes.md`). Every figure is the median of the rounds of that run; the two sides")
w("of each comparison ran alternately, as separate programs, and a ratio is the median of")
w("the per-round ratios of two results that ran back to back.")
w("")
w(f"**Machine:** {cpu}, {context.get('num_cpus', os.cpu_count())} CPUs at "
  f"{context.get('mhz_per_cpu', '?')} MHz, {platform.system()} {platform.release()}, {cxx}, "
  f"Release build (-O3); load average at the end {', '.join(f'{x:.1f}' for x in load) or 'n/a'}; "
  f"run of {context.get('date', datetime.datetime.now(datetime.timezone.utc).isoformat())[:16].replace('T', ' ')} UTC; "
  f"{rounds} rounds.")
w("")
w("The machine is shared (load average above); wall-clock figures carry that noise, so")
w("CPU-bound workloads are compared on CPU time, and the codec also on instruction counts.")
w("")

# ---- 1 codec ------------------------------------------------------------------------
K, N = "bench_snmp_codec", "bench_netsnmp_snmp_codec"
w("## 1. SNMP message encoding and decoding")
w("")
w("GetRequest of 10 names (214 bytes) and its Response with 10 bindings of mixed types")
w("(INTEGER, 30-byte OCTET STRINGs, OBJECT IDENTIFIER, Counter32, TimeTicks, IpAddress,")
w("Counter64; 339 bytes), SNMPv2c. kivo8: the internal message type that the engine uses")
w("(the exported adapters' figures are the BM_Exported* benchmarks of the same program).")
w("net-snmp: `snmp_build` and `snmp_parse` into a record allocated as its receive path")
w("does. CPU time per operation, median of rounds.")
w("")
w("| operation | kivo8 ns | net-snmp ns | net-snmp / kivo8 |")
w("|---|---:|---:|---:|")
for op, label in [("BM_EncodeRequest", "encode GetRequest"), ("BM_DecodeRequest", "decode GetRequest"),
                  ("BM_EncodeResponse", "encode Response"), ("BM_DecodeResponse", "decode Response"),
                  ("BM_RequestAndResponse", "all four (one exchange, 2 messages)")]:
    a, b = med(K, op), med(N, op)
    w(f"| {label} | {fmt(a)} | {fmt(b)} | {fmt(round_ratio(N, op, K, op, 'cpu_time'), 2)} |")
codec_speedup = round_ratio(N, "BM_RequestAndResponse", K, "BM_RequestAndResponse", "cpu_time")
w("")
calls = {}
try:
    with open(os.path.join(results, "callgrind.txt")) as f:
        for line in f:
            p, n, c = line.split()
            if c.isdigit():
                calls.setdefault(p, {})[int(n)] = int(c)
except (OSError, ValueError):
    pass


def per_exchange(p):
    c = calls.get(p, {})
    if 200 in c and 1200 in c:
        return (c[1200] - c[200]) / 1000
    return None


ik, inn = per_exchange(K), per_exchange(N)
w("Instructions (callgrind, difference between 1,200 and 200 exchanges, so start-up is")
w("not counted):")
w("")
w("| | kivo8 | net-snmp | net-snmp / kivo8 |")
w("|---|---:|---:|---:|")
w(f"| per exchange (2 messages encoded and decoded) | {fmt(ik)} | {fmt(inn)} | {fmt(ratio(inn, ik), 2)} |")
w(f"| per message | {fmt(ik / 2 if ik else None)} | {fmt(inn / 2 if inn else None)} | |")
ix = per_exchange("bench_snmp_codec_exported")
w(f"| per exchange through the exported adapters (`snmp_build`, `snmp_parse` into an `snmp_pdu`) "
  f"| {fmt(ix)} | {fmt(inn)} | {fmt(ratio(inn, ix), 2)} |")
w("")
w("kivo8's figures above are the internal message type (`snmp::Message`, `snmp::encode`),")
w("which the discovery engine, the status search and the SNMPv3 layer use; the last row is")
w("the documented interface's adapters over it, which allocate the caller's records.")
w("")
codec_ratio = ratio(inn, ik)
verdict("1. codec throughput", None if codec_ratio is None else codec_ratio >= 3.0,
        f"4x fewer instructions than net-snmp, 3x at least: {fmt(codec_ratio, 2)}x "
        f"(instructions), {fmt(codec_speedup, 2)}x (CPU time)")

# ---- 1b SNMPv3 authPriv codec --------------------------------------------------------
K3, N3 = "bench_snmpv3_codec", "bench_netsnmp_snmpv3_codec"
w("### SNMPv3 authPriv (HMAC-SHA-256, AES-128)")
w("")
w("The manager's half of one exchange: the same 10-name GetRequest encoded, encrypted and")
w("signed, and the same agent Response (10 bindings, the bytes in")
w("bench/common/snmpv3_response.h) checked, decrypted and decoded; same user, pass phrases")
w("and engine id on both sides, keys localised once beforehand. Both use libcrypto for the")
w("digests and the cipher.")
w("")
w("| operation | kivo8 ns | net-snmp ns | net-snmp / kivo8 |")
w("|---|---:|---:|---:|")
for op, label in [("BM_EncodeRequestAuthPriv", "encode GetRequest"),
                  ("BM_DecodeResponseAuthPriv", "decode Response"),
                  ("BM_ExchangeAuthPriv", "one exchange")]:
    a, b = med(K3, op), med(N3, op)
    w(f"| {label} | {fmt(a)} | {fmt(b)} | {fmt(round_ratio(N3, op, K3, op, 'cpu_time'), 2)} |")
w("")
i3, n3 = per_exchange(K3), per_exchange(N3)
w("| instructions (callgrind) | kivo8 | net-snmp | net-snmp / kivo8 |")
w("|---|---:|---:|---:|")
w(f"| per exchange | {fmt(i3)} | {fmt(n3)} | {fmt(ratio(n3, i3), 2)} |")
w("")
verdict("1b. SNMPv3 codec", None if i3 is None or n3 is None else i3 < n3,
        f"fewer instructions than net-snmp: {fmt(ratio(n3, i3), 2)}x")

# ---- 2 round trips ------------------------------------------------------------------
K, N = "bench_snmp_get", "bench_netsnmp_snmp_get"
w("## 2. GET round trips on loopback")
w("")
w("10,000 GETs of 5 names per measurement, SNMPv2c, wall-clock time per round trip.")
w("kivo8: `snmp_get` (a new socket per send, as designed); net-snmp: `snmp_synch_response`")
w("on a session opened once. The trivial responder answers each datagram with a fixed")
w("Response carrying the request's id; the floor is a bare `sendto`/`recvfrom` ping-pong")
w("with it on one socket, and the floor with a new socket is the same with the")
w("transport's system calls (socket, bind, sendto, poll, recvfrom, close).")
w("")
w("| peer | kivo8 us | net-snmp us | kivo8 / net-snmp | kivo8 CPU us | net-snmp CPU us |")
w("|---|---:|---:|---:|---:|---:|")
gs_k, gs_n = med(K, "BM_GetSnmpd", "real_time"), med(N, "BM_GetSnmpd", "real_time")
gr_k, gr_n = med(K, "BM_GetResponder", "real_time"), med(N, "BM_GetResponder", "real_time")
for label, op in [("snmpd", "BM_GetSnmpd"), ("trivial responder", "BM_GetResponder")]:
    a, b = med(K, op, "real_time"), med(N, op, "real_time")
    ca, cb = med(K, op), med(N, op)
    w(f"| {label} | {fmt(a / 1e3 if a else None)} | {fmt(b / 1e3 if b else None)} | {fmt(round_ratio(K, op, N, op), 2)} "
      f"| {fmt(ca / 1e3 if ca else None)} | {fmt(cb / 1e3 if cb else None)} |")
floor = med(K, "BM_Floor", "real_time")
floor_new = med(K, "BM_FloorNewSocket", "real_time")
w("")
fl_cpu, fln_cpu = med(K, "BM_Floor"), med(K, "BM_FloorNewSocket")
rk_floor = round_ratio(K, "BM_GetResponder", K, "BM_Floor")
rk_floor_new = round_ratio(K, "BM_GetResponder", K, "BM_FloorNewSocket")
rn_floor = round_ratio(N, "BM_GetResponder", K, "BM_Floor")
w("| floor | us per round trip | CPU us | kivo8 / floor | net-snmp / floor |")
w("|---|---:|---:|---:|---:|")
w(f"| sendto/recvfrom, one socket | {fmt(floor / 1e3 if floor else None)} | {fmt(fl_cpu / 1e3 if fl_cpu else None)} "
  f"| {fmt(rk_floor, 2)} | {fmt(rn_floor, 2)} |")
w(f"| same, new socket per request | {fmt(floor_new / 1e3 if floor_new else None)} | "
  f"{fmt(fln_cpu / 1e3 if fln_cpu else None)} | {fmt(rk_floor_new, 2)} | |")
w("")
w("Ratios are medians of per-round ratios (the two results of a round ran back to back);")
w("the kivo8 / floor ratios compare results of the same program run. Client CPU time per")
w("round trip, which the machine's load disturbs far less than wall-clock time, is shown")
w("beside each.")
w("")
gs_ratio = round_ratio(K, "BM_GetSnmpd", N, "BM_GetSnmpd")
verdict("2. GET against snmpd", None if gs_ratio is None else gs_ratio <= 1.0,
        f"no slower than net-snmp: kivo8 / net-snmp = {fmt(gs_ratio, 2)}")
verdict("2. GET against the trivial responder", None if rk_floor is None else rk_floor <= 1.5,
        f"within 1.5x of the floor: {fmt(rk_floor, 2)}x "
        f"({fmt(rk_floor_new, 2)}x of the floor with a new socket per request)")

# ---- 3 walk -------------------------------------------------------------------------
K, N = "bench_snmp_walk", "bench_netsnmp_snmp_walk"
w("## 3. Walk of snmpd's whole tree")
w("")
w("From 1.3, one GETNEXT per object, every response kept until the end, SNMPv2c.")
w("")
wk, wn = med(K, "BM_Walk", "real_time"), med(N, "BM_Walk", "real_time")
objs = med(K, "BM_Walk", "objects")
w("| | kivo8 | net-snmp | kivo8 / net-snmp |")
w("|---|---:|---:|---:|")
walk_ratio = round_ratio(K, "BM_Walk", N, "BM_Walk")
w(f"| walk, ms | {fmt(wk / 1e6 if wk else None)} | {fmt(wn / 1e6 if wn else None)} | {fmt(walk_ratio, 2)} |")
ck, cn = med(K, "BM_Walk"), med(N, "BM_Walk")
w(f"| client CPU, ms | {fmt(ck / 1e6 if ck else None)} | {fmt(cn / 1e6 if cn else None)} | {fmt(ratio(ck, cn), 2)} |")
w(f"| objects | {fmt(objs)} | {fmt(med(N, 'BM_Walk', 'objects'))} | |")
w("")
verdict("3. walk", None if walk_ratio is None else walk_ratio <= 1.0,
        f"no slower than net-snmp: kivo8 / net-snmp = {fmt(walk_ratio, 2)}")

# ---- 3b walk by GETBULK -------------------------------------------------------------
bulk_path = os.path.join(results, "bulkwalk.json")
if os.path.exists(bulk_path):
    with open(bulk_path) as f:
        bw = json.load(f)
    w("### 3b. `kivo walk` by GETBULK beside `snmpbulkwalk`")
    w("")
    w("The same snmpd tree from .1.3, SNMPv2c, 10 repetitions a request on both sides, each")
    w("a process of its own (start-up, printing to a pipe included); the GETNEXT walks of")
    w(f"both for scale. Median wall time of {bw.get('rounds')} rounds in which the commands take")
    w("turns; instructions of one run under callgrind.")
    w("")
    for name, cmd in bw.get("commands", {}).items():
        w(f"- {name}: `{cmd}`")
    w("")
    w("| command | wall ms | variables | instructions |")
    w("|---|---:|---:|---:|")
    for name, t in bw["tools"].items():
        w(f"| {name} | {fmt(t.get('wall_ms'))} | {fmt(t.get('variables'), 0)} | {fmt(t.get('instructions'), 0)} |")
    w("")
    w(f"kivo walk / snmpbulkwalk, wall: {fmt(bw.get('ratio_wall'), 2)}; the same names printed: "
      f"{'yes' if bw.get('same_names') else 'NO'}.")
    w("")

# ---- 4 address draws ----------------------------------------------------------------
K = "bench_iplist_draw"
w("## 4. Address draws")
w("")
w("Draws per second from one table shared by 1, 2 and 8 threads (`ifinfo_iplist_getnext`")
w("under its lock slot), beside an atomic fetch-and-add doing the same hand-out.")
w("")
w("| threads | table draws/s | atomic counter/s | atomic / table |")
w("|---:|---:|---:|---:|")
for t in (1, 2, 8):
    a = med(K, f"BM_TableDraw/real_time/threads:{t}", "items_per_second")
    b = med(K, f"BM_AtomicCounter/real_time/threads:{t}", "items_per_second")
    w(f"| {t} | {fmt(a)} | {fmt(b)} | {fmt(ratio(b, a), 1)} |")
M = "bench_memory"
mb = med(M, "BM_AddressTableMemory", "bytes")
w("")
w(f"Memory of the table of a 262,144-address range: {fmt(mb)} heap bytes "
  f"({fmt(med(M, 'BM_AddressTableMemory', 'bytes_per_address'))} bytes per address).")
w("")
S = "bench_status_memory"
w("Memory one status read holds when it ends, against a printer with full tables (256")
w("supplies, colorants and alerts, 32 console lines), in heap bytes: what the reader keeps,")
w("beside what it held when it kept every reply whole (bench/status_memory).")
w("")
w("| texts of the printer | kept by the reader | replies kept whole |")
w("|---|---:|---:|")
for t in (24, 4096):
    w(f"| {t} bytes | {fmt(med(S, f'BM_StatusReadKept/{t}', 'heap_bytes'))} | "
      f"{fmt(med(S, f'BM_StatusReadWholeReplies/{t}', 'heap_bytes'))} |")
w("")

# ---- 5 translations -----------------------------------------------------------------
K = "bench_transtext_lookup"
w("## 5. Translation lookups")
w("")
w("10,000-entry catalogue made by `kivo-mkcat`, and a .mo made by `msgfmt` from the same")
w("PO file; glibc `dgettext` in the C.UTF-8 locale with LANGUAGE set. CPU ns per lookup.")
w("")
w("| keys | transtext ns | gettext ns | gettext / transtext |")
w("|---|---:|---:|---:|")
tp, gp = med(K, "BM_TranstextPresent"), med(K, "BM_GettextPresent")
tm, gm = med(K, "BM_TranstextMissing"), med(K, "BM_GettextMissing")
present_ratio = round_ratio(K, "BM_GettextPresent", K, "BM_TranstextPresent", "cpu_time")
missing_ratio = round_ratio(K, "BM_GettextMissing", K, "BM_TranstextMissing", "cpu_time")
w(f"| present | {fmt(tp)} | {fmt(gp)} | {fmt(present_ratio, 2)} |")
w(f"| missing | {fmt(tm)} | {fmt(gm)} | {fmt(missing_ratio, 2)} |")
w("")
load_t = med(K, "BM_TranstextLoad", "real_time")
w(f"Load of the catalogue (`transtext_new_table_nolang`): {fmt(load_t / 1e3 if load_t else None)} us. "
  f"Heap held by the loaded catalogue: {fmt(med(M, 'BM_CatalogueMemory', 'heap_bytes'))} bytes "
  f"(file {fmt(med(M, 'BM_CatalogueMemory', 'file_bytes'))} bytes); gettext maps its "
  f"{fmt(med(M, 'BM_GettextMemory', 'mapped_file_bytes'))}-byte .mo file and allocates "
  f"{fmt(med(M, 'BM_GettextMemory', 'heap_bytes'))} heap bytes on its first lookup.")
w("")
verdict("5. lookups, present keys", None if present_ratio is None else present_ratio > 1.0,
        f"faster than gettext: {fmt(present_ratio, 2)}x")
verdict("5. lookups, missing keys", None if missing_ratio is None else missing_ratio > 1.0,
        f"faster than gettext: {fmt(missing_ratio, 2)}x")

# ---- 6 saving targets ---------------------------------------------------------------
w("## 6. Saving 1,000 search targets")
w("")
K = "bench_target_save"
one, per_key = med(K, "BM_SaveOneRewrite", "real_time"), med(K, "BM_SaveRewritePerKey", "real_time")
w("`ifinfo_write_preference` (the whole file built in memory and replaced once) beside the")
w("same save as one store call per key (delete the old keys, the total, every line: 2,001")
w("rewrites of the file). Home directory on /dev/shm, so the figures are the rewrites'")
w("own work rather than the disk's sync time; wall-clock time per save.")
w("")
w("| save | ms | per-key / one-rewrite |")
w("|---|---:|---:|")
w(f"| one rewrite | {fmt(one / 1e6 if one else None, 2)} | |")
w(f"| one rewrite per key | {fmt(per_key / 1e6 if per_key else None, 2)} | {fmt(ratio(per_key, one), 1)} |")
w("")

# ---- 7 collection -------------------------------------------------------------------
K = "bench_broadcast_collect"
w("## 7. Collecting 1,000 replies in one window")
w("")
w("`snmp_asynch_response` with a one-second window; the loopback responder answers the")
w("request with 1,000 Responses (groups of 50, 2 ms apart). CPU time of the collecting")
w("thread, which receives, queues, decodes and lists every reply.")
w("")
w(f"Replies collected per window: {fmt(med(K, 'BM_Collect', 'replies_per_window'))}; "
  f"CPU per collected reply: {fmt(med(K, 'BM_Collect', 'cpu_us_per_reply'), 2)} us.")
w("")

# ---- 8 discovery --------------------------------------------------------------------
disc = None
try:
    with open(os.path.join(results, "discover.json")) as f:
        disc = json.load(f)
except (OSError, ValueError):
    pass
if disc and disc.get("scenarios"):
    sc = disc["scenarios"]
    w("## 8. Discovery on namespace networks")
    w("")
    w("`bench/discover`: each network is built of network namespaces (veth links, a router")
    w("namespace for the routed ranges), with 10 SNMP agents (one snmpsim process answering at")
    w("10 addresses with a multifunction printer's data: sysDescr, sysObjectID, hrDevice,")
    w("printer name, both device ids) and every other address silent. `kivo discover`,")
    w("onesixtyone and nmap (`-sU -p161 -n`) scan the same address list in turn, round after")
    w(f"round ({disc.get('rounds')} rounds, {disc.get('date', '')}); kivo: "
      f"{'the event-loop engine' if disc.get('kivo') == 'engine' else 'worker threads'}. Wall time as the")
    w("caller sees it; peak RSS and CPU time (user + system) from `/usr/bin/time` of each")
    w("process; found: agents in the output; described: agents listed with their sysDescr or")
    w("device id. The ratio is kivo's wall time over the anchor's, the median of per-round")
    w("ratios.")
    w("")

    def tool_rows(entry):
        rows = []
        for name, t in entry["tools"].items():
            cpu_us = (t["cpu"] / entry["addresses"] * 1e6) if entry["addresses"] and t.get("cpu") is not None else None
            rss = t["rss_kb"] / 1024 if t.get("rss_kb") is not None else None
            stopped = f" (stopped at the bound in {t['stopped']} of {t['runs']} runs)" if t.get("stopped") else ""
            rows.append(f"| {name}{stopped} | {fmt(t['wall'], 2)} | {fmt(rss)} | {fmt(t['cpu'], 2)} | {fmt(cpu_us, 2)} "
                        f"| {fmt(t['found'], 0)}/{entry['agents']} | {fmt(t['described'], 0) if name.startswith('kivo') else '-'} |")
        return rows

    for key in ("a", "b", "c"):
        if key not in sc:
            continue
        entry = sc[key]
        w(f"### 8{key}. {entry['title'][0].upper() + entry['title'][1:]} ({entry['addresses']:,} addresses)")
        w("")
        for name, cmd in entry.get("commands", {}).items():
            w(f"- {name}: `{cmd}`")
        w("")
        w("| command | wall s | peak RSS MiB | CPU s | CPU us/address | agents found | described |")
        w("|---|---:|---:|---:|---:|---:|---:|")
        for row in tool_rows(entry):
            w(row)
        w("")
        if entry.get("ratios"):
            w("| kivo run | anchor | wall kivo / anchor | CPU kivo / anchor | peak RSS kivo / anchor |")
            w("|---|---|---:|---:|---:|")
            for kname, per in entry["ratios"].items():
                for aname, r in per.items():
                    w(f"| {kname} | {aname} | {fmt(r.get('wall'), 3)} | {fmt(r.get('cpu'), 2)} | {fmt(r.get('rss_kb'), 2)} |")
            w("")
    if "d" in sc:
        entry = sc["d"]
        w(f"### 8d. {entry['title'][0].upper() + entry['title'][1:]}")
        w("")
        w("The peers' namespace answers the broadcast GET with one Response from each of the")
        w("made-up devices (addresses of a block that is local there, spread over 0.5 s), answers")
        w("each device's follow-up GETs as that device, and two more addresses answer the same")
        w("broadcast with 65,507-byte Responses (the request id matched), 400 per second each for")
        w("12 s. The link carries them unfragmented. Kernel counters are the scanner namespace's")
        w("UDP InDatagrams and RcvbufErrors during the run.")
        w("")
        w("| command | wall s | peak RSS MiB | CPU s | devices listed | devices past the cap | datagrams dropped | datagrams received | kernel receive drops |")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
        for name, t in entry["tools"].items():
            rss = t["rss_kb"] / 1024 if t.get("rss_kb") is not None else None
            ku = t.get("kernel_udp", {})
            w(f"| {name} | {fmt(t['wall'], 2)} | {fmt(rss)} | {fmt(t['cpu'], 2)} | {fmt(t.get('devices'), 0)} "
              f"| {fmt(t.get('devices_dropped'), 0)} | {fmt(t.get('datagrams_dropped'), 0)} "
              f"| {fmt(ku.get('InDatagrams'), 0)} | {fmt(ku.get('RcvbufErrors'), 0)} |")
        w("")
    if "e" in sc:
        entry = sc["e"]
        w(f"### 8e. Send rate against loss: {entry['title']}")
        w("")
        w("A responder answers every GET to any address of the block as that device, behind the")
        w("router namespace; `kivo discover --rate N` scans the block (no broadcast, SLP or web")
        w("probe). Loss: addresses that answered but are missing from the result.")
        w("")
        w("| rate | wall s | CPU s | found | lost | kernel receive drops |")
        w("|---|---:|---:|---:|---:|---:|")
        for name, t in entry["tools"].items():
            lost = entry["agents"] - t["found"] if t.get("found") is not None else None
            ku = t.get("kernel_udp", {})
            w(f"| {name.replace('kivo --rate ', '')} | {fmt(t['wall'], 2)} | {fmt(t['cpu'], 2)} | {fmt(t['found'], 0)} "
              f"| {fmt(lost, 0)} | {fmt(ku.get('RcvbufErrors'), 0)} |")
        w("")
    for target in disc.get("targets", []):
        verdict(target["name"], target.get("ok"), target["text"])

# ---- 9 printer status in discovery --------------------------------------------------
st = None
try:
    with open(os.path.join(results, "discover_status.json")) as f:
        st = json.load(f)
except (OSError, ValueError):
    pass
if st and st.get("rounds"):
    m = st["median"]
    r0 = st["rounds"][0]
    w("## 9. Printer status in one discovery")
    w("")
    w(f"`bench/discover_status`: {st['printers']} printers (one snmpsim process answering SNMPv2c at "
      f"{st['printers']} addresses of a namespace, each the colour laser recording), read by one "
      "`kivo discover --status` run beside net-snmp's `snmpbulkwalk` of the same "
      f"{len(st['tables'])} tables for each printer, one walk after another "
      f"({len(st['rounds'])} round(s), medians). Both wait on the one snmpsim process, whose "
      "answers set the pace.")
    w("")
    w("| | wall s | CPU s | peak RSS MiB | |")
    w("|---|---:|---:|---:|---|")
    w(f"| kivo discover --status | {fmt(m['kivo']['wall'], 2)} | {fmt(m['kivo']['cpu'], 2)} | "
      f"{fmt(m['kivo']['rss_kb'] / 1024, 1)} | {r0['kivo']['with_status']}/{r0['kivo']['devices']} printers "
      "with a status |")
    w(f"| snmpbulkwalk x{r0['snmpbulkwalk']['walks']} | {fmt(m['snmpbulkwalk']['wall'], 2)} | "
      f"{fmt(m['snmpbulkwalk']['cpu'], 2)} | {fmt(m['snmpbulkwalk']['rss_kb'] / 1024, 1)} | "
      f"{r0['snmpbulkwalk']['bindings']} bindings |")
    w("")

# ---- 10 endpoints and IPP beside ipptool ---------------------------------------------
ep = None
try:
    with open(os.path.join(results, "endpoints.json")) as f:
        ep = json.load(f)["summary"]
except (OSError, ValueError, KeyError):
    pass
if ep and "ipptool" in ep:
    k, wo, it = ep["with"], ep["without"], ep["ipptool"]
    w("## 10. Endpoints and IPP of many printers, beside ipptool")
    w("")
    w(f"`bench/endpoints`: {ep['printers']} ippeveprinters in one namespace, each at its own address; one "
      "`kivo discover --status` run (probes of 631, 9100 and 515 and one Get-Printer-Attributes of each, "
      "at most 32 at once) beside `ipptool -tv -T "
      f"{it['timeout_s']} ... get-printer-attributes.test` over the same printers one after another "
      f"({ep['rounds']} round(s), medians).")
    w("")
    w("| | wall s | peak RSS MiB | answered | ended by its deadline |")
    w("|---|---:|---:|---:|---:|")
    w(f"| kivo discover --status | {fmt(k['wall_s'], 2)} | {fmt(k['max_rss_kib'] / 1024, 1)} | "
      f"{fmt(k['ipp_uris'], 0)} IPP, {fmt(k.get('with_ipp_status', 0), 0)} with an IPP status | "
      f"{k.get('deadline_reached_runs', 0)} of {ep['rounds']} runs |")
    w(f"| kivo discover --no-endpoints | {fmt(wo['wall_s'], 2)} | {fmt(wo['max_rss_kib'] / 1024, 1)} | - | "
      f"{wo.get('deadline_reached_runs', 0)} of {ep['rounds']} runs |")
    w(f"| ipptool x{ep['printers']}, one after another | {fmt(it['wall_s'], 2)} | "
      f"{fmt(it['max_rss_kib'] / 1024, 1)} (each) | {fmt(it['answered'], 0)} | - |")
    w("")

# ---- verdicts and note --------------------------------------------------------------
w("## Targets")
w("")
w("| target | result | |")
w("|---|---|---|")
out.extend(verdicts)
w("")
notes = os.path.join(os.path.dirname(os.path.abspath(__file__)), "notes.md")
if os.path.exists(notes):
    with open(notes) as f:
        w(f.read().rstrip())
print("\n".join(out))
