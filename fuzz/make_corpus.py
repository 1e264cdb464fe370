#!/usr/bin/env python3
"""Writes the seed inputs corpus/<target>/seed-* from the recorded liblsl
transcripts (lsl/tests/transcripts) and from the settings examples in the
repository. Inputs that once broke a target (regression-*) are left alone.

Run from anywhere: python3 fuzz/make_corpus.py
"""
import hashlib
import json
import pathlib

here = pathlib.Path(__file__).resolve().parent
root = here.parent
transcripts = root / "lsl" / "tests" / "transcripts"


def wire(text):
    # The transcripts write each byte as a latin-1 character, escaped with
    # Python's unicode_escape.
    return text.encode("ascii").decode("unicode_escape").encode("latin-1")


def load(name):
    return json.loads((transcripts / name).read_text())


seeds = {}


def add(target, data):
    if isinstance(data, str):
        data = data.encode()
    seeds.setdefault(target, set()).add(data)


t01, t02 = load("01_discovery_default_config.json"), load("02_discovery_machine_scope.json")
t03, t04 = load("03_fullinfo_and_tcp_shortinfo.json"), load("04_streamfeed.json")
t05, t06 = load("05_timesync.json"), load("06_streamfeed_variants.json")
t08, t09 = load("08_idle_watchdog_and_outlet_exit.json"), load("09_continuous_resolver.json")

# Discovery datagrams both ways.
udp = [q["payload"] for q in t01["queries"] + t02["queries"]]
udp += [e["sent"] for e in t01["hand_made_queries_against_the_same_outlet"]]
udp += [p["payload"] for p in t08["udp_packets_first_8"] + t09["udp_packets"]]
for payload in map(wire, udp):
    if payload.startswith(b"LSL:"):
        add("discovery_query", payload)
        add("query", payload.split(b"\n")[1].rstrip(b"\r"))
    elif b"(shortinfo XML)" not in payload:
        add("discovery_reply", payload)
for reply in (t01["first_reply"], t02["first_reply"]):
    add("discovery_reply", wire(reply["payload"]))
add("discovery_query", wire(t06["exchanges"][-1]["sent"]))

# Queries a consumer may send, beyond the recorded ones.
for q in ["", "name='TranscriptTest'", "desc/note='capture run'",
          "not(type='EEG') or channel_count>=2", "starts-with(name,'Trans') and contains(source_id,'1')",
          "nominal_srate=0 and channel_count != 3.5 and (true() or false())",
          'hostname="vm" and session_id <= "z"']:
    add("query", q)

# Stream-info documents: full and short.
add("stream_info_xml", wire(t03["response"]))
for e in t03["hand_made_tcp_info_requests"]:
    add("streamfeed_request", wire(e["sent"]))
    if e["received"]:
        add("stream_info_xml", wire(e["received"]))
add("streamfeed_request", wire(t03["request"]))

# Streamfeed: the inlet's request, the hand-made variants, the outlet's reply
# with its samples.
add("streamfeed_request", wire(t04["request"]))
reply = b"".join(wire(s["data"]) for s in t04["segments"] if s["dir"] == "s2c" and s.get("data"))
add("streamfeed_reply", reply)
for e in t06["exchanges"]:
    if e["exchange"].startswith("tcp"):
        add("streamfeed_request", wire(e["sent"]))
    if e["received"].startswith("LSL/"):
        add("streamfeed_reply", wire(e["received"]))

# Time probes and their replies.
for p in t05["probes"][:2] + t05["hand_made_probes"]:
    add("timedata", wire(p.get("request", p.get("sent"))))
    add("timedata", wire(p.get("reply", p.get("received"))))

# lsl_api.cfg: the transcripts' machine scope, the tests' file, every key.
add("lsl_config", "[multicast]\nResolveScope = machine\nInterfaces = {127.0.0.1}\n")
add("lsl_config", (root / "tools" / "lsl_machine_scope.cfg").read_bytes())
add("lsl_config", """; every section
[ports]
MulticastPort = 16571
BasePort = 16572
PortRange = 32
AllowRandomPorts = 1
IPv6 = allow
[multicast]
ResolveScope = link
MachineAddresses = {127.0.0.1}
LinkAddresses = {255.255.255.255, 224.0.0.1, 224.0.0.183}
SiteAddresses = {239.255.172.215}
OrganizationAddresses = {}
GlobalAddresses = {}
AddressesOverride = {224.0.0.1}
TTLOverride = 1
Interfaces = {127.0.0.1}
ListenAddress = ::1
IPv6MulticastGroup = 113D:6FDD:2C17:A643:FFE2:1BD1:3CD2
[lab]
SessionID = default
KnownPeers = {localhost, 127.0.0.1}
[tuning]
UseProtocolVersion = 110
MulticastMinRTT = 0.5
MulticastMaxRTT = 3.0
UnicastMinRTT = 0.75
UnicastMaxRTT = 5.0
ContinuousResolveInterval = 0.5
TimerResolution = 1
WatchdogCheckInterval = 15.0
WatchdogTimeThreshold = 15.0
TimeProbeCount = 8
TimeProbeInterval = 0.064
TimeProbeMaxRTT = 0.128
TimeUpdateMinProbes = 6
TimeUpdateInterval = 2.0
ForceDefaultTimestamps = 0
""")

# SIMDAQ settings: the README's examples and the tests' settings file.
add("simdaq_settings", (root / "simdaq" / "tests" / "rehearsal.settings").read_bytes())
add("simdaq_settings", "clock=virtual;fault=DAQmxReadAnalogF64@30000:-200284;trace=calls.txt")
add("simdaq_settings", "clock=virtual;wire=script:0,2.5,nan;trace=/tmp/calls.txt")
add("simdaq_settings", "clock=realtime\nlowpass=0.0002\nnoise=0.02\nseed=7\ncut=50000-51000\nstrict=1\n")
add("simdaq_settings", "wire=stuck:4.5;delay=3;fault=DAQmxStartTask#2:-50103;fault=DAQmxWriteAnalogF64#100:209801")
add("simdaq_settings", "wire=disconnected\n# a comment\nfault=DAQmxCreateAIVoltageChan#1:-200220")

# The monitor's command lines, arguments separated by NUL.
for args in [[], ["--help"], ["--version"], ["--name", "Maroquint", "--timeout", "5"],
             ["--type=Markers", "--csv", "--count", "3", "--duration", "2.5", "--period=1"],
             ["--source-id", "maroquint-Dev1", "--timeout", "0"], ["-h"],
             ["--list", "--xml", "--timeout=2"],
             ["--quiet", "--every", "10", "--max-missed", "0", "--max-jitter=0.002",
              "--output", "watch.csv", "--xdf", "watch.xdf", "--json", "watch.json",
              "--plot", "watch.svg"]]:
    add("monitor_command_line", "\0".join(args))

# XDF: the format's reference file, as the reader's tests use it.
add("xdf_reader", (root / "xdf" / "tests" / "data" / "minimal.xdf").read_bytes())

# EDF and BDF: small files of two signals with different samples per
# record, plain and "+", whole, cut in a record and with an unknown record
# count, as a crashed recorder leaves them.
def edf_file(bdf, reserved, records, labels, samples, data_records):
    def field(text, width):
        return text.encode("latin-1")[:width].ljust(width, b" ")
    ns = len(labels)
    width = 3 if bdf else 2
    top = 1 << (8 * width - 1)
    head = b"\xffBIOSEMI" if bdf else field("0", 8)
    head += field("X X X X", 80) + field("Startdate 08-DEC-2026 X X X", 80) + b"08.12.2610.00.00"
    head += field(str(256 * (ns + 1)), 8) + field(reserved, 44) + field(records, 8)
    head += field("1", 8) + field(str(ns), 4)
    head += b"".join(field(label, 16) for label in labels)
    head += field("", 80) * ns + field("uV", 8) * ns + field("-1000", 8) * ns + field("1000", 8) * ns
    head += field(str(-top), 8) * ns + field(str(top - 1), 8) * ns + field("", 80) * ns
    head += b"".join(field(str(n), 8) for n in samples) + field("", 32) * ns
    body = b""
    for r in range(data_records):
        for s, n in enumerate(samples):
            for i in range(n):
                body += ((r * 31 + s * 7 + i * 3) % 5 - 2).to_bytes(width, "little", signed=True)
    return head + body


bdf = edf_file(True, "24BIT", "3", ["Status", "Fp1"], [4, 2], 3)
add("edf_reader", bdf)
add("edf_reader", bdf[:len(bdf) - 7])
add("edf_reader", edf_file(True, "BDF+C", "-1", ["Fp1", "BDF Annotations"], [3, 2], 2))
add("edf_reader", edf_file(False, "EDF+D", "2", ["TRIG", "EDF Annotations"], [5, 4], 2))
add("edf_reader", edf_file(False, "", "1", ["EEG Cz"], [8], 2))

for target, inputs in seeds.items():
    folder = here / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("seed-*"):
        old.unlink()
    for data in inputs:
        (folder / ("seed-" + hashlib.sha1(data).hexdigest()[:12])).write_bytes(data)
    print(f"{target}: {len(inputs)} seeds")
