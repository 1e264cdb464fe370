// Byte strings recorded from liblsl 1.16.2 on loopback (its inlet, outlet and
// resolver talking to each other): what our consumer side must read, and what
// it must send.
#pragma once

#include <string>

namespace lsl::testdata {

// A liblsl inlet's streamfeed request (uid 63872864-...).
inline const std::string kT04Request(
    "LSL:streamfeed/110 63872864-b28e-47cc-b59d-43105981592e\r\n"
    "Native-Byte-Order: 1234\r\n"
    "Endian-Performance: 1.31668e+07\r\n"
    "Has-IEEE754-Floats: 1\r\n"
    "Supports-Subnormals: 0\r\n"
    "Value-Size: 32\r\n"
    "Data-Protocol-Version: 110\r\n"
    "Max-Buffer-Length: 36000\r\n"
    "Max-Chunk-Length: 0\r\n"
    "Hostname: vm\r\n"
    "Source-Id: transcript-source-1\r\n"
    "Session-Id: default\r\n"
    "\r\n",
    322);

// Everything the outlet sent on that data connection: header, test patterns,
// then start, explicit-ts, empty, 300 x L, cafe-check, a chunk of three, tick-0/1.
inline const std::string kT04Reply(
    "LSL/110 200 OK\r\n"
    "UID: 63872864-b28e-47cc-b59d-43105981592e\r\n"
    "Byte-Order: 1234\r\n"
    "Suppress-Subnormals: 0\r\n"
    "Data-Protocol-Version: 110\r\n"
    "\r\n"
    "\x02\xc9v\xbe\x9f\x0c$\xfe@\x01\x02"
    "10\x02\xc9v\xbe\x9f\x0c$\xfe@\x01\x02"
    "10\x02\xedq"
    "\xe1klS\x95@\x01\x05start\x02\x00\x00\x00\x00\x00"
    "D\x8f@\x01\x0b"
    "explicit-ts\x02\x00\x00"
    "\x00\x00\x00J\x8f@\x01\x00\x02\x00\x00\x00\x00\x00P\x8f@\x04,\x01\x00\x00LLLLLLLLLLLLLLLL"
    "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"
    "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"
    "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"
    "LLLLLLLLLLLLLLLLL\x02\x00\x00\x00\x00\x00X\x8f@\x01\tcaf\xc3\xa9-\xe2\x9c\x93\x02\x00\x00"
    "\x00\x00\x00`\x8f@\x01\x07"
    "chunk-a\x01\x01\x07"
    "chunk-b\x01\x01\x07"
    "chunk-c\x02\x00\x00"
    "\x00\x00\x00@\x9f@\x01\x06tick-0\x02\x00\x00\x00\x00\x00"
    "D\x9f@\x01\x06tick-1",
    612);

// A resolve with default settings: the query went to 127.0.0.1 and three
// groups, and one outlet answered it 16 times with this same reply.
inline const std::string kT01Query(
    "LSL:shortinfo\r\n"
    "session_id='default' and type='Markers'\r\n"
    "16575 4311744890628545484\r\n",
    83);

inline const std::string kT01Reply(
    "4311744890628545484\r\n"
    "<?xml version=\"1.0\"?>\n"
    "<info>\n"
    "\t<name>TranscriptTest</name>\n"
    "\t<type>Markers</type>\n"
    "\t<channel_count>1</channel_count>\n"
    "\t<channel_format>string</channel_format>\n"
    "\t<source_id>transcript-source-1</source_id>\n"
    "\t<nominal_srate>0.000000000000000</nominal_srate>\n"
    "\t<version>1.100000000000000</version>\n"
    "\t<created_at>1362.336449254000</created_at>\n"
    "\t<uid>63872864-b28e-47cc-b59d-43105981592e</uid>\n"
    "\t<session_id>default</session_id>\n"
    "\t<hostname>vm</hostname>\n"
    "\t<v4address></v4address>\n"
    "\t<v4data_port>16572</v4data_port>\n"
    "\t<v4service_port>16572</v4service_port>\n"
    "\t<v6address></v6address>\n"
    "\t<v6data_port>16573</v6data_port>\n"
    "\t<v6service_port>16573</v6service_port>\n"
    "\t<desc />\n"
    "</info>\n",
    676);

inline constexpr int kT01ReplyCount = 16;

// A continuous resolver's query (the session-only query of lsl_resolve_all).
inline const std::string kT09Query(
    "LSL:shortinfo\r\n"
    "session_id='default'\r\n"
    "16575 11973266323178842010\r\n",
    65);

// A machine-scope resolve: the query and its one reply.
inline const std::string kT02Query(
    "LSL:shortinfo\r\n"
    "session_id='default' and type='Markers'\r\n"
    "16575 4311744890628545484\r\n",
    83);

inline const std::string kT02Reply(
    "4311744890628545484\r\n"
    "<?xml version=\"1.0\"?>\n"
    "<info>\n"
    "\t<name>TranscriptTest</name>\n"
    "\t<type>Markers</type>\n"
    "\t<channel_count>1</channel_count>\n"
    "\t<channel_format>string</channel_format>\n"
    "\t<source_id>transcript-source-1</source_id>\n"
    "\t<nominal_srate>0.000000000000000</nominal_srate>\n"
    "\t<version>1.100000000000000</version>\n"
    "\t<created_at>1396.772526924000</created_at>\n"
    "\t<uid>7542c9dd-f404-4677-ad9e-42323fda7587</uid>\n"
    "\t<session_id>default</session_id>\n"
    "\t<hostname>vm</hostname>\n"
    "\t<v4address></v4address>\n"
    "\t<v4data_port>16572</v4data_port>\n"
    "\t<v4service_port>16572</v4service_port>\n"
    "\t<v6address></v6address>\n"
    "\t<v6data_port>16573</v6data_port>\n"
    "\t<v6service_port>16573</v6service_port>\n"
    "\t<desc />\n"
    "</info>\n",
    676);

// Replies of a liblsl outlet to hand-made streamfeed requests; the outlet
// closed the connection after the 404 and 505 lines, which have no line end.
inline const std::string kT06WrongUidReply("LSL/110 404 Not found", 21);

inline const std::string kT06Version200Reply("LSL/110 505 Version not supported", 33);

inline const std::string kT06MinimalReply(
    "LSL/110 200 OK\r\n"
    "UID: 63872864-b28e-47cc-b59d-43105981592e\r\n"
    "Byte-Order: 1234\r\n"
    "Suppress-Subnormals: 0\r\n"
    "Data-Protocol-Version: 110\r\n"
    "\r\n"
    "\x02\xc9v\xbe\x9f\x0c$\xfe@\x01\x02"
    "10\x02\xc9v\xbe\x9f\x0c$\xfe@\x01\x02"
    "10\x02\x00\x00"
    "\x00\x00\x00\xbc\x9f@\x01\x07tick-31\x02\x00\x00\x00\x00\x00\xc0\x9f@\x01\x07tick-32\x02\x00"
    "\x00\x00\x00\x00\xc4\x9f@\x01\x07tick-33\x02\x00\x00\x00\x00\x00\xc8\x9f@\x01\x07tick-34\x02"
    "\x00\x00\x00\x00\x00\xcc\x9f@\x01\x07tick-35",
    247);

inline const std::string kT06BigEndianReply(
    "LSL/110 200 OK\r\n"
    "UID: 63872864-b28e-47cc-b59d-43105981592e\r\n"
    "Byte-Order: 4321\r\n"
    "Suppress-Subnormals: 0\r\n"
    "Data-Protocol-Version: 110\r\n"
    "\r\n"
    "\x02@\xfe$\x0c\x9f\xbev\xc9\x01\x02"
    "10\x02@\xfe$\x0c\x9f\xbev\xc9\x01\x02"
    "10\x02@\x9f"
    "\xd0\x00\x00\x00\x00\x00\x01\x07tick-36\x02@\x9f\xd4\x00\x00\x00\x00\x00\x01\x07tick-37\x02"
    "@\x9f\xd8\x00\x00\x00\x00\x00\x01\x07tick-38\x02@\x9f\xdc\x00\x00\x00\x00\x00\x01\x07tick"
    "-39\x02@\x9f\xe0\x00\x00\x00\x00\x00\x01\x07tick-40",
    247);

// A reply in the legacy 1.00 format: no Data-Protocol-Version header, then archive bytes.
inline const std::string kT06LegacyHeaderReply(
    "LSL/110 200 OK\r\n"
    "UID: 63872864-b28e-47cc-b59d-43105981592e\r\n"
    "Byte-Order: 1234\r\n"
    "Suppress-Subnormals: 0\r\n"
    "Data-Protocol-Version: 100\r\n"
    "\r\n"
    "\x7f\x01\t\x02\x8f\x02",
    137);

// The recovery query a liblsl inlet sends for its stream.
inline const std::string kT08RecoveryQuery(
    "LSL:shortinfo\r\n"
    "channel_count='1' and name='TranscriptTest' and type='Markers' and source_id='transcript-"
    "source-1' and channel_format='string'\r\n"
    "16575 7462361089634936606\r\n",
    170);

// One time-sync round: each probe, its reply, and when the probe left and the
// reply came back (capture clock, seconds from the first probe). The liblsl
// inlet reported a correction of -0.000031194 s for this round.
struct TimeProbe {
  const char *request;
  const char *reply;
  double t_sent;
  double t_reply;
};
inline const TimeProbe kT05Probes[] = {
    {"LSL:timedata\r\n1804289383 1363.856082562\r\n",
     " 1804289383 1363.856082562 1363.856201078 1363.856280298", 0.0, 0.000168},
    {"LSL:timedata\r\n1804289383 1363.920318873\r\n",
     " 1804289383 1363.920318873 1363.920481082 1363.920510688", 0.06426, 0.064384},
    {"LSL:timedata\r\n1804289383 1363.984578159\r\n",
     " 1804289383 1363.984578159 1363.984664292 1363.984679761", 0.128488, 0.128552},
    {"LSL:timedata\r\n1804289383 1364.048784854\r\n",
     " 1804289383 1364.048784854 1364.04886715 1364.048882579", 0.192692, 0.192755},
    {"LSL:timedata\r\n1804289383 1364.112999032\r\n",
     " 1804289383 1364.112999032 1364.113098732 1364.113113871", 0.256923, 0.256986},
    {"LSL:timedata\r\n1804289383 1364.177172985\r\n",
     " 1804289383 1364.177172985 1364.177293004 1364.177321868", 0.321101, 0.321195},
    {"LSL:timedata\r\n1804289383 1364.244279335\r\n",
     " 1804289383 1364.244279335 1364.244409362 1364.24443442", 0.388194, 0.388307},
    {"LSL:timedata\r\n1804289383 1364.308508363\r\n",
     " 1804289383 1364.308508363 1364.308589387 1364.30860704", 0.452417, 0.452481},
};
inline constexpr double kT05ReportedCorrection = -0.000031194;

}  // namespace lsl::testdata
