#include "core/stream_info.h"

#include <pugixml.hpp>

#include <charconv>
#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

namespace maroquint::lsl::core {
namespace {

constexpr const char *kFormatNames[] = {nullptr, "float32", "double64", "string",
                                        "int32", "int16",   "int8",     "int64"};

// Only XML's white space (space, tab, CR, LF), whatever the C locale says;
// trim() in core/text.h also takes \v and \f.
std::string_view TrimXmlSpace(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

void TextChild(pugi::xml_node parent, const char *name, const std::string &value) {
  // An empty pcdata child makes pugixml write <x></x>, as liblsl's outlets do.
  parent.append_child(name).append_child(pugi::node_pcdata).set_value(value.c_str());
}

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void *data, size_t size) override {
    out.append(static_cast<const char *>(data), size);
  }
};

std::string ToXml(const StreamInfo &info, bool with_desc) {
  pugi::xml_document doc;
  BuildXmlDocument(info, doc, with_desc);
  StringWriter writer;
  doc.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
  return std::move(writer.out);
}

// The number in `text` without blanks and with at most one sign, for
// from_chars, which takes no '+' and would read the '-' of "+-5".
bool NumberText(std::string_view &text) {
  text = TrimXmlSpace(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  return !text.empty();
}

}  // namespace

const char *ChannelFormatName(ChannelFormat format) {
  auto i = static_cast<int32_t>(format);
  if (i < 1 || i > 7) return nullptr;
  return kFormatNames[i];
}

std::optional<ChannelFormat> ParseChannelFormat(std::string_view name) {
  for (int32_t i = 1; i <= 7; ++i)
    if (name == kFormatNames[i]) return static_cast<ChannelFormat>(i);
  return std::nullopt;
}

std::string FormatNumberShowpoint(double value) {
  std::ostringstream os;
  os.imbue(std::locale::classic());
  os << std::showpoint << std::setprecision(16) << value;
  return os.str();
}

std::string FormatNumber(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 16);
  return std::string(buf, res.ptr);
}

std::optional<double> ParseDouble(std::string_view text) {
  if (!NumberText(text)) return std::nullopt;
  double value = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

bool ParseFinite(std::string_view text, double &out) {
  const std::optional<double> v = ParseDouble(text);
  if (!v || !std::isfinite(*v)) return false;
  out = *v;
  return true;
}

std::optional<int64_t> ParseInt(std::string_view text) {
  if (!NumberText(text)) return std::nullopt;
  int64_t value = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

void BuildXmlDocument(const StreamInfo &info, pugi::xml_document &doc, bool with_desc) {
  doc.reset();
  auto root = doc.append_child("info");
  TextChild(root, "name", info.name);
  TextChild(root, "type", info.type);
  TextChild(root, "channel_count", std::to_string(info.channel_count));
  auto fmt = ChannelFormatName(info.channel_format);
  TextChild(root, "channel_format", fmt ? fmt : "undefined");
  TextChild(root, "source_id", info.source_id);
  TextChild(root, "nominal_srate", FormatNumberShowpoint(info.nominal_srate));
  TextChild(root, "version", FormatNumberShowpoint(info.version / 100.0));
  TextChild(root, "created_at", FormatNumberShowpoint(info.created_at));
  TextChild(root, "uid", info.uid);
  TextChild(root, "session_id", info.session_id);
  TextChild(root, "hostname", info.hostname);
  TextChild(root, "v4address", info.v4address);
  TextChild(root, "v4data_port", std::to_string(info.v4data_port));
  TextChild(root, "v4service_port", std::to_string(info.v4service_port));
  TextChild(root, "v6address", info.v6address);
  TextChild(root, "v6data_port", std::to_string(info.v6data_port));
  TextChild(root, "v6service_port", std::to_string(info.v6service_port));
  if (with_desc && info.desc && info.desc->child("desc"))
    root.append_copy(info.desc->child("desc"));
  else
    root.append_child("desc");
}

std::string ToShortXml(const StreamInfo &info) {
  return ToXml(info, false);
}
std::string ToFullXml(const StreamInfo &info) {
  return ToXml(info, true);
}

std::optional<StreamInfo> ParseXml(std::string_view xml, std::string *error,
                                   std::size_t max_bytes) {
  auto fail = [&](const std::string &why) -> std::optional<StreamInfo> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (xml.size() > max_bytes) return fail("stream info larger than the limit");
  pugi::xml_document doc;
  auto parsed = doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) return fail(std::string("malformed XML: ") + parsed.description());
  auto root = doc.child("info");
  if (!root) return fail("no <info> element");

  StreamInfo info;
  auto text = [&](const char *name) -> std::string_view { return root.child(name).child_value(); };
  info.name = text("name");
  if (info.name.empty()) return fail("empty name");
  info.type = text("type");
  auto count = ParseInt(text("channel_count"));
  if (!count || *count < 0 || *count > INT32_MAX) return fail("bad channel_count");
  info.channel_count = static_cast<int32_t>(*count);
  auto fmt = ParseChannelFormat(TrimXmlSpace(text("channel_format")));
  if (!fmt) return fail("bad channel_format");
  info.channel_format = *fmt;
  info.source_id = text("source_id");
  auto srate = ParseDouble(text("nominal_srate"));
  if (!srate || !(*srate >= 0.0) || std::isinf(*srate)) return fail("bad nominal_srate");
  info.nominal_srate = *srate;
  auto version = ParseDouble(text("version"));
  if (!version || !(*version > 0.0) || *version > 1e6) return fail("bad version");
  info.version = static_cast<int32_t>(*version * 100.0);
  if (info.version <= 0) return fail("bad version");
  auto created = ParseDouble(text("created_at"));
  if (!created || !std::isfinite(*created)) return fail("bad created_at");
  info.created_at = *created;
  info.uid = text("uid");
  if (info.uid.empty()) return fail("empty uid");
  info.session_id = text("session_id");
  info.hostname = text("hostname");
  info.v4address = text("v4address");
  info.v6address = text("v6address");
  struct PortField {
    const char *name;
    uint16_t StreamInfo::*field;
  };
  for (auto p : {PortField{"v4data_port", &StreamInfo::v4data_port},
                 PortField{"v4service_port", &StreamInfo::v4service_port},
                 PortField{"v6data_port", &StreamInfo::v6data_port},
                 PortField{"v6service_port", &StreamInfo::v6service_port}}) {
    auto n = ParseInt(text(p.name));
    if (!n || *n < 0 || *n > 65535) return fail(std::string("bad ") + p.name);
    info.*(p.field) = static_cast<uint16_t>(*n);
  }
  if (auto desc = root.child("desc"); desc && desc.first_child()) {
    auto copy = std::make_shared<pugi::xml_document>();
    copy->append_copy(desc);
    info.desc = std::move(copy);
  }
  return info;
}

}  // namespace maroquint::lsl::core
