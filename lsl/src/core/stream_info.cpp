#include "core/stream_info.h"

#include <pugixml.hpp>

#include <charconv>
#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

namespace lsl::core {
namespace {

constexpr const char *kFormatNames[] = {nullptr, "float32", "double64", "string",
                                        "int32", "int16",   "int8",     "int64"};

// Only XML's white space (space, tab, CR, LF), whatever the C locale says;
// trim() in core/text.h also takes \v and \f.
std::string_view trim_xml_space(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

void text_child(pugi::xml_node parent, const char *name, const std::string &value) {
  // An empty pcdata child makes pugixml write <x></x>, as liblsl's outlets do.
  parent.append_child(name).append_child(pugi::node_pcdata).set_value(value.c_str());
}

struct StringWriter : pugi::xml_writer {
  std::string out;
  void write(const void *data, size_t size) override {
    out.append(static_cast<const char *>(data), size);
  }
};

std::string to_xml(const StreamInfo &info, bool with_desc) {
  pugi::xml_document doc;
  build_xml_document(info, doc, with_desc);
  StringWriter writer;
  doc.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
  return std::move(writer.out);
}

}  // namespace

const char *channel_format_name(ChannelFormat format) {
  auto i = static_cast<int32_t>(format);
  if (i < 1 || i > 7) return nullptr;
  return kFormatNames[i];
}

std::optional<ChannelFormat> parse_channel_format(std::string_view name) {
  for (int32_t i = 1; i <= 7; ++i)
    if (name == kFormatNames[i]) return static_cast<ChannelFormat>(i);
  return std::nullopt;
}

std::string format_number_showpoint(double value) {
  std::ostringstream os;
  os.imbue(std::locale::classic());
  os << std::showpoint << std::setprecision(16) << value;
  return os.str();
}

std::string format_number(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 16);
  return std::string(buf, res.ptr);
}

std::optional<double> parse_double(std::string_view text) {
  text = trim_xml_space(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  double value = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<int64_t> parse_int(std::string_view text) {
  text = trim_xml_space(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

void build_xml_document(const StreamInfo &info, pugi::xml_document &doc, bool with_desc) {
  doc.reset();
  auto root = doc.append_child("info");
  text_child(root, "name", info.name);
  text_child(root, "type", info.type);
  text_child(root, "channel_count", std::to_string(info.channel_count));
  auto fmt = channel_format_name(info.channel_format);
  text_child(root, "channel_format", fmt ? fmt : "undefined");
  text_child(root, "source_id", info.source_id);
  text_child(root, "nominal_srate", format_number_showpoint(info.nominal_srate));
  text_child(root, "version", format_number_showpoint(info.version / 100.0));
  text_child(root, "created_at", format_number_showpoint(info.created_at));
  text_child(root, "uid", info.uid);
  text_child(root, "session_id", info.session_id);
  text_child(root, "hostname", info.hostname);
  text_child(root, "v4address", info.v4address);
  text_child(root, "v4data_port", std::to_string(info.v4data_port));
  text_child(root, "v4service_port", std::to_string(info.v4service_port));
  text_child(root, "v6address", info.v6address);
  text_child(root, "v6data_port", std::to_string(info.v6data_port));
  text_child(root, "v6service_port", std::to_string(info.v6service_port));
  if (with_desc && info.desc && info.desc->child("desc"))
    root.append_copy(info.desc->child("desc"));
  else
    root.append_child("desc");
}

std::string to_short_xml(const StreamInfo &info) {
  return to_xml(info, false);
}
std::string to_full_xml(const StreamInfo &info) {
  return to_xml(info, true);
}

std::optional<StreamInfo> parse_xml(std::string_view xml, std::string *error,
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
  auto count = parse_int(text("channel_count"));
  if (!count || *count < 0 || *count > INT32_MAX) return fail("bad channel_count");
  info.channel_count = static_cast<int32_t>(*count);
  auto fmt = parse_channel_format(trim_xml_space(text("channel_format")));
  if (!fmt) return fail("bad channel_format");
  info.channel_format = *fmt;
  info.source_id = text("source_id");
  auto srate = parse_double(text("nominal_srate"));
  if (!srate || !(*srate >= 0.0) || std::isinf(*srate)) return fail("bad nominal_srate");
  info.nominal_srate = *srate;
  auto version = parse_double(text("version"));
  if (!version || !(*version > 0.0) || *version > 1e6) return fail("bad version");
  info.version = static_cast<int32_t>(*version * 100.0);
  if (info.version <= 0) return fail("bad version");
  auto created = parse_double(text("created_at"));
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
    auto n = parse_int(text(p.name));
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

}  // namespace lsl::core
