// Discovery queries: the XPath subset liblsl resolvers send, evaluated
// against a stream's <info> element, and the builders for the queries this
// library sends itself.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace pugi {
class xml_node;
}

namespace maroquint::lsl::core {

struct StreamInfo;
struct QueryNode;

constexpr std::size_t kMaxQueryLength = 4096;

// Supported: child paths (name, desc/manufacturer), 'literal' / "literal",
// numbers, = != < <= > >=, and, or, not(), parentheses, starts-with(),
// contains(), true(), false(). The empty query matches every stream; a
// query that cannot be parsed (or is longer than kMaxQueryLength) matches
// none, so a consumer is never handed a stream it did not ask for.
class Query {
 public:
  static Query Compile(std::string_view text);

  bool Valid() const { return valid_; }
  // `info` is the <info> element of a stream's full XML document.
  bool Matches(const pugi::xml_node &info) const;
  bool Matches(const StreamInfo &info) const;

 private:
  bool valid_ = false;
  std::shared_ptr<const QueryNode> root_;  // null + valid = match all
};

// `session_id='S'`
std::string BuildSessionQuery(std::string_view session_id);
// `session_id='S' and PROP='VALUE'`
std::string BuildBypropQuery(std::string_view session_id, std::string_view prop,
                             std::string_view value);
// The query an inlet sends to find its stream again after a restart:
// `channel_count='N' and name='..' and type='..' and source_id='..' and
// channel_format='..'` (name, type, source_id only when non-empty), no
// session clause.
std::string BuildRecoveryQuery(const StreamInfo &info);

}  // namespace maroquint::lsl::core
