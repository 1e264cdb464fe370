// A stream's declaration and its XML forms. The short form goes into
// discovery replies, the full form (with the desc tree) answers fullinfo.
#pragma once

#include "core/protocol/constants.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

namespace maroquint::lsl::core {

enum class ChannelFormat : int32_t {
  kUndefined = 0,
  kFloat32 = 1,
  kDouble64 = 2,
  kString = 3,
  kInt32 = 4,
  kInt16 = 5,
  kInt8 = 6,
  kInt64 = 7
};

// "float32", "string", ...; nullptr for undefined or out-of-range values.
const char *ChannelFormatName(ChannelFormat format);
std::optional<ChannelFormat> ParseChannelFormat(std::string_view name);

constexpr int32_t kLibraryVersion = 116;
// Upper bound for any stream-info document this library accepts.
constexpr std::size_t kMaxInfoXmlBytes = 1 << 20;

struct StreamInfo {
  std::string name;
  std::string type;
  int32_t channel_count = 0;
  double nominal_srate = 0.0;
  ChannelFormat channel_format = ChannelFormat::kUndefined;
  std::string source_id;
  int32_t version = kProtocolVersion;  // protocol version x 100
  double created_at = 0.0;
  std::string uid;
  std::string session_id;
  std::string hostname;
  std::string v4address;
  uint16_t v4data_port = 0;
  uint16_t v4service_port = 0;
  std::string v6address;
  uint16_t v6data_port = 0;
  uint16_t v6service_port = 0;
  // The <desc> element with its subtree; null means an empty <desc />.
  // Shared and never modified after construction, so copies are cheap.
  std::shared_ptr<const pugi::xml_document> desc;
};

// liblsl's layout: declaration line, tab indentation, final newline.
std::string ToShortXml(const StreamInfo &info);
std::string ToFullXml(const StreamInfo &info);

// Fills `doc` with the full form: <info> and its children, for query
// evaluation without reparsing.
void BuildXmlDocument(const StreamInfo &info, pugi::xml_document &doc, bool with_desc);

// Accepts what liblsl's reader accepts (section checks: non-empty name and
// uid, known channel format, numeric ports and counts, version > 0, rate >= 0)
// and rejects everything else, including documents over max_bytes.
// `error` (if given) receives the reason for a rejection.
std::optional<StreamInfo> ParseXml(std::string_view xml, std::string *error = nullptr,
                                   std::size_t max_bytes = kMaxInfoXmlBytes);

// printf "%#.16g" and "%.16g" in the classic locale, as liblsl writes them.
std::string FormatNumberShowpoint(double value);
std::string FormatNumber(double value);
// Locale-independent strict parse of a whole string (surrounding white
// space allowed); nullopt when anything else is there.
std::optional<double> ParseDouble(std::string_view text);
// ParseDouble of a number that must be finite, as every time on the wire is.
bool ParseFinite(std::string_view text, double &out);
std::optional<int64_t> ParseInt(std::string_view text);

}  // namespace maroquint::lsl::core
