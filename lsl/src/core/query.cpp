#include "core/query.h"

#include "core/stream_info.h"
#include "core/text.h"

#include <pugixml.hpp>

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <variant>
#include <vector>

namespace maroquint::lsl::core {

struct QueryNode {
  enum class Kind {
    kLiteral,
    kNumber,
    kPath,
    kCall,
    kOpOr,
    kOpAnd,
    kOpEq,
    kOpNe,
    kOpLt,
    kOpLe,
    kOpGt,
    kOpGe,
    kNegate
  };
  Kind kind = Kind::kLiteral;
  std::string text;  // literal value or function name
  double number = 0.0;
  std::vector<std::string> steps;
  std::vector<std::unique_ptr<QueryNode>> args;
};

namespace {

using Kind = QueryNode::Kind;
using NodeSet = std::vector<pugi::xml_node>;
using Value = std::variant<NodeSet, std::string, double, bool>;

constexpr int kMaxDepth = 64;
constexpr int kMaxOperators = 128;

bool IsNameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
}

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  std::unique_ptr<QueryNode> Parse() {
    auto node = ParseOr(0);
    SkipWs();
    if (!node || pos_ != s_.size()) return nullptr;
    return node;
  }

 private:
  void SkipWs() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool Eat(std::string_view token) {
    SkipWs();
    if (s_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }
  // `and`/`or` only as whole words.
  bool EatWord(std::string_view word) {
    SkipWs();
    if (s_.substr(pos_, word.size()) != word) return false;
    auto end = pos_ + word.size();
    if (end < s_.size() && IsNameChar(s_[end])) return false;
    pos_ = end;
    return true;
  }
  // Chains like `a and b and c ...` grow the tree without nesting; the
  // operator count bounds evaluation depth for them.
  std::unique_ptr<QueryNode> Binary(Kind kind, std::unique_ptr<QueryNode> a,
                                    std::unique_ptr<QueryNode> b) {
    if (++operators_ > kMaxOperators) return nullptr;
    auto n = std::make_unique<QueryNode>();
    n->kind = kind;
    n->args.push_back(std::move(a));
    n->args.push_back(std::move(b));
    return n;
  }

  std::unique_ptr<QueryNode> ParseOr(int depth) {
    if (depth > kMaxDepth) return nullptr;
    auto left = ParseAnd(depth + 1);
    while (left && EatWord("or")) {
      auto right = ParseAnd(depth + 1);
      if (!right) return nullptr;
      left = Binary(Kind::kOpOr, std::move(left), std::move(right));
    }
    if (Failed()) return nullptr;
    return left;
  }
  std::unique_ptr<QueryNode> ParseAnd(int depth) {
    auto left = ParseEquality(depth + 1);
    while (left && EatWord("and")) {
      auto right = ParseEquality(depth + 1);
      if (!right) return nullptr;
      left = Binary(Kind::kOpAnd, std::move(left), std::move(right));
    }
    if (Failed()) return nullptr;
    return left;
  }
  std::unique_ptr<QueryNode> ParseEquality(int depth) {
    auto left = ParseRelational(depth + 1);
    while (left) {
      Kind kind;
      if (Eat("!="))
        kind = Kind::kOpNe;
      else if (Eat("="))
        kind = Kind::kOpEq;
      else
        break;
      auto right = ParseRelational(depth + 1);
      if (!right) return nullptr;
      left = Binary(kind, std::move(left), std::move(right));
    }
    if (Failed()) return nullptr;
    return left;
  }
  std::unique_ptr<QueryNode> ParseRelational(int depth) {
    auto left = ParseUnary(depth + 1);
    while (left) {
      Kind kind;
      if (Eat("<="))
        kind = Kind::kOpLe;
      else if (Eat(">="))
        kind = Kind::kOpGe;
      else if (Eat("<"))
        kind = Kind::kOpLt;
      else if (Eat(">"))
        kind = Kind::kOpGt;
      else
        break;
      auto right = ParseUnary(depth + 1);
      if (!right) return nullptr;
      left = Binary(kind, std::move(left), std::move(right));
    }
    if (Failed()) return nullptr;
    return left;
  }
  std::unique_ptr<QueryNode> ParseUnary(int depth) {
    if (depth > kMaxDepth) return nullptr;
    if (Eat("-")) {
      auto inner = ParseUnary(depth + 1);
      if (!inner) return nullptr;
      auto n = std::make_unique<QueryNode>();
      n->kind = Kind::kNegate;
      n->args.push_back(std::move(inner));
      return n;
    }
    return ParsePrimary(depth + 1);
  }
  std::unique_ptr<QueryNode> ParsePrimary(int depth) {
    if (depth > kMaxDepth) return nullptr;
    SkipWs();
    if (pos_ >= s_.size()) return nullptr;
    char c = s_[pos_];
    if (c == '(') {
      ++pos_;
      auto inner = ParseOr(depth + 1);
      if (!inner || !Eat(")")) return nullptr;
      return inner;
    }
    if (c == '\'' || c == '"') {
      auto end = s_.find(c, pos_ + 1);
      if (end == std::string_view::npos) return nullptr;
      auto n = std::make_unique<QueryNode>();
      n->kind = Kind::kLiteral;
      n->text = std::string(s_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end + 1;
      return n;
    }
    if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
      auto start = pos_;
      while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
      if (pos_ < s_.size() && s_[pos_] == '.') {
        ++pos_;
        while (pos_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[pos_]))) ++pos_;
      }
      auto text = s_.substr(start, pos_ - start);
      if (text == ".") return nullptr;
      auto n = std::make_unique<QueryNode>();
      n->kind = Kind::kNumber;
      std::from_chars(text.data(), text.data() + text.size(), n->number);
      return n;
    }
    if (!IsNameStart(c)) return nullptr;
    auto name = ReadName();
    SkipWs();
    if (pos_ < s_.size() && s_[pos_] == '(') {
      ++pos_;
      auto n = std::make_unique<QueryNode>();
      n->kind = Kind::kCall;
      n->text = std::move(name);
      if (!Eat(")")) {
        do {
          auto arg = ParseOr(depth + 1);
          if (!arg) return nullptr;
          n->args.push_back(std::move(arg));
        } while (Eat(","));
        if (!Eat(")")) return nullptr;
      }
      return CheckCall(std::move(n));
    }
    auto n = std::make_unique<QueryNode>();
    n->kind = Kind::kPath;
    n->steps.push_back(std::move(name));
    while (true) {
      auto save = pos_;
      SkipWs();
      if (pos_ < s_.size() && s_[pos_] == '/') {
        ++pos_;
        SkipWs();
        if (pos_ >= s_.size() || !IsNameStart(s_[pos_])) return nullptr;
        n->steps.push_back(ReadName());
      } else {
        pos_ = save;
        break;
      }
    }
    return n;
  }
  std::string ReadName() {
    auto start = pos_;
    while (pos_ < s_.size() && IsNameChar(s_[pos_])) ++pos_;
    return std::string(s_.substr(start, pos_ - start));
  }
  static std::unique_ptr<QueryNode> CheckCall(std::unique_ptr<QueryNode> n) {
    const auto arity = n->args.size();
    const auto &f = n->text;
    bool ok =
        ((f == "true" || f == "false") && arity == 0) ||
        ((f == "not" || f == "boolean" || f == "number" || f == "string-length") && arity == 1) ||
        (f == "string" && arity == 1) || ((f == "starts-with" || f == "contains") && arity == 2);
    return ok ? std::move(n) : nullptr;
  }

  bool Failed() const { return operators_ > kMaxOperators; }

  std::string_view s_;
  std::size_t pos_ = 0;
  int operators_ = 0;
};

// Concatenated text of all descendants, walked without recursion.
std::string StringValue(pugi::xml_node node) {
  if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) return node.value();
  std::string out;
  auto cur = node.first_child();
  while (cur) {
    if (cur.type() == pugi::node_pcdata || cur.type() == pugi::node_cdata) out += cur.value();
    if (cur.first_child()) {
      cur = cur.first_child();
      continue;
    }
    while (cur && !cur.next_sibling() && cur != node) cur = cur.parent();
    if (!cur || cur == node) break;
    cur = cur.next_sibling();
  }
  return out;
}

double StringToNumber(std::string_view s) {
  s = Trim(s);
  const auto nan = std::numeric_limits<double>::quiet_NaN();
  if (s.empty()) return nan;
  std::size_t i = s.front() == '-' ? 1 : 0;
  bool digits = false, dot = false;
  for (auto j = i; j < s.size(); ++j) {
    if (std::isdigit(static_cast<unsigned char>(s[j])))
      digits = true;
    else if (s[j] == '.' && !dot)
      dot = true;
    else
      return nan;
  }
  if (!digits) return nan;
  double v = 0;
  auto res = std::from_chars(s.data(), s.data() + s.size(), v);
  return res.ec == std::errc() ? v : nan;
}

std::string NumberToString(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  if (d == std::floor(d) && std::fabs(d) < 1e15) return std::to_string(static_cast<long long>(d));
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

std::string ToString(const Value &v) {
  if (auto ns = std::get_if<NodeSet>(&v))
    return ns->empty() ? std::string() : StringValue(ns->front());
  if (auto s = std::get_if<std::string>(&v)) return *s;
  if (auto d = std::get_if<double>(&v)) return NumberToString(*d);
  return std::get<bool>(v) ? "true" : "false";
}
double ToNumber(const Value &v) {
  if (auto d = std::get_if<double>(&v)) return *d;
  if (auto b = std::get_if<bool>(&v)) return *b ? 1.0 : 0.0;
  return StringToNumber(ToString(v));
}
bool ToBool(const Value &v) {
  if (auto ns = std::get_if<NodeSet>(&v)) return !ns->empty();
  if (auto s = std::get_if<std::string>(&v)) return !s->empty();
  if (auto d = std::get_if<double>(&v)) return *d != 0.0 && !std::isnan(*d);
  return std::get<bool>(v);
}

bool CompareAtoms(Kind op, const Value &a, const Value &b) {
  if (op == Kind::kOpEq || op == Kind::kOpNe) {
    bool eq;
    if (std::holds_alternative<bool>(a) || std::holds_alternative<bool>(b))
      eq = ToBool(a) == ToBool(b);
    else if (std::holds_alternative<double>(a) || std::holds_alternative<double>(b))
      eq = ToNumber(a) == ToNumber(b);
    else
      eq = ToString(a) == ToString(b);
    if (op == Kind::kOpEq) return eq;
    // NaN != NaN is true in XPath as in IEEE.
    if (std::holds_alternative<double>(a) || std::holds_alternative<double>(b))
      return ToNumber(a) != ToNumber(b);
    return !eq;
  }
  double x = ToNumber(a), y = ToNumber(b);
  switch (op) {
    case Kind::kOpLt:
      return x < y;
    case Kind::kOpLe:
      return x <= y;
    case Kind::kOpGt:
      return x > y;
    default:
      return x >= y;
  }
}

bool Compare(Kind op, const Value &a, const Value &b) {
  auto as = std::get_if<NodeSet>(&a);
  auto bs = std::get_if<NodeSet>(&b);
  if (as && std::holds_alternative<bool>(b)) return CompareAtoms(op, Value(ToBool(a)), b);
  if (bs && std::holds_alternative<bool>(a)) return CompareAtoms(op, a, Value(ToBool(b)));
  if (as && bs) {
    for (auto &x : *as)
      for (auto &y : *bs)
        if (CompareAtoms(op, Value(StringValue(x)), Value(StringValue(y)))) return true;
    return false;
  }
  if (as) {
    for (auto &x : *as)
      if (CompareAtoms(op, Value(StringValue(x)), b)) return true;
    return false;
  }
  if (bs) {
    for (auto &y : *bs)
      if (CompareAtoms(op, a, Value(StringValue(y)))) return true;
    return false;
  }
  return CompareAtoms(op, a, b);
}

Value Evaluate(const QueryNode &n, pugi::xml_node context) {
  switch (n.kind) {
    case Kind::kLiteral:
      return n.text;
    case Kind::kNumber:
      return n.number;
    case Kind::kNegate:
      return -ToNumber(Evaluate(*n.args[0], context));
    case Kind::kPath: {
      NodeSet set{context};
      for (auto &step : n.steps) {
        NodeSet next;
        for (auto &node : set)
          for (auto child : node.children(step.c_str())) next.push_back(child);
        set = std::move(next);
        if (set.empty()) break;
      }
      return set;
    }
    case Kind::kOpOr:
      return ToBool(Evaluate(*n.args[0], context)) || ToBool(Evaluate(*n.args[1], context));
    case Kind::kOpAnd:
      return ToBool(Evaluate(*n.args[0], context)) && ToBool(Evaluate(*n.args[1], context));
    case Kind::kCall: {
      const auto &f = n.text;
      if (f == "true") return true;
      if (f == "false") return false;
      auto a = Evaluate(*n.args[0], context);
      if (f == "not") return !ToBool(a);
      if (f == "boolean") return ToBool(a);
      if (f == "number") return ToNumber(a);
      if (f == "string") return ToString(a);
      if (f == "string-length") return static_cast<double>(ToString(a).size());
      auto b = ToString(Evaluate(*n.args[1], context));
      auto s = ToString(a);
      if (f == "starts-with") return s.compare(0, b.size(), b) == 0;
      return s.find(b) != std::string::npos;
    }
    default:
      return Compare(n.kind, Evaluate(*n.args[0], context), Evaluate(*n.args[1], context));
  }
}

std::string Quote(std::string_view value) {
  // liblsl quotes with ' verbatim; a value holding ' can only be written with ".
  char q = value.find('\'') == std::string_view::npos ? '\'' : '"';
  return q + std::string(value) + q;
}

}  // namespace

Query Query::Compile(std::string_view text) {
  Query q;
  if (text.size() > kMaxQueryLength) return q;
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) {
    q.valid_ = true;
    return q;
  }
  auto root = Parser(text).Parse();
  if (!root) return q;
  q.root_ = std::shared_ptr<const QueryNode>(std::move(root));
  q.valid_ = true;
  return q;
}

bool Query::Matches(const pugi::xml_node &info) const {
  if (!valid_) return false;
  if (!root_) return true;
  return ToBool(Evaluate(*root_, info));
}

bool Query::Matches(const StreamInfo &info) const {
  if (!valid_) return false;
  if (!root_) return true;
  pugi::xml_document doc;
  BuildXmlDocument(info, doc, true);
  return Matches(doc.child("info"));
}

std::string BuildSessionQuery(std::string_view session_id) {
  return "session_id=" + Quote(session_id);
}

std::string BuildBypropQuery(std::string_view session_id, std::string_view prop,
                             std::string_view value) {
  return BuildSessionQuery(session_id) + " and " + std::string(prop) + "=" + Quote(value);
}

std::string BuildRecoveryQuery(const StreamInfo &info) {
  std::string q = "channel_count=" + Quote(std::to_string(info.channel_count));
  if (!info.name.empty()) q += " and name=" + Quote(info.name);
  if (!info.type.empty()) q += " and type=" + Quote(info.type);
  if (!info.source_id.empty()) q += " and source_id=" + Quote(info.source_id);
  auto fmt = ChannelFormatName(info.channel_format);
  q += " and channel_format=" + Quote(fmt ? fmt : "undefined");
  return q;
}

}  // namespace maroquint::lsl::core
