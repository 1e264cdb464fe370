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

namespace lsl::core {

struct QueryNode {
  enum class Kind {
    literal,
    number,
    path,
    call,
    op_or,
    op_and,
    op_eq,
    op_ne,
    op_lt,
    op_le,
    op_gt,
    op_ge,
    negate
  };
  Kind kind = Kind::literal;
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

bool is_name_start(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool is_name_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
}

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  std::unique_ptr<QueryNode> parse() {
    auto node = parse_or(0);
    skip_ws();
    if (!node || pos_ != s_.size()) return nullptr;
    return node;
  }

 private:
  void skip_ws() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool eat(std::string_view token) {
    skip_ws();
    if (s_.substr(pos_, token.size()) != token) return false;
    pos_ += token.size();
    return true;
  }
  // `and`/`or` only as whole words.
  bool eat_word(std::string_view word) {
    skip_ws();
    if (s_.substr(pos_, word.size()) != word) return false;
    auto end = pos_ + word.size();
    if (end < s_.size() && is_name_char(s_[end])) return false;
    pos_ = end;
    return true;
  }
  // Chains like `a and b and c ...` grow the tree without nesting; the
  // operator count bounds evaluation depth for them.
  std::unique_ptr<QueryNode> binary(Kind kind, std::unique_ptr<QueryNode> a,
                                    std::unique_ptr<QueryNode> b) {
    if (++operators_ > kMaxOperators) return nullptr;
    auto n = std::make_unique<QueryNode>();
    n->kind = kind;
    n->args.push_back(std::move(a));
    n->args.push_back(std::move(b));
    return n;
  }

  std::unique_ptr<QueryNode> parse_or(int depth) {
    if (depth > kMaxDepth) return nullptr;
    auto left = parse_and(depth + 1);
    while (left && eat_word("or")) {
      auto right = parse_and(depth + 1);
      if (!right) return nullptr;
      left = binary(Kind::op_or, std::move(left), std::move(right));
    }
    if (failed()) return nullptr;
    return left;
  }
  std::unique_ptr<QueryNode> parse_and(int depth) {
    auto left = parse_equality(depth + 1);
    while (left && eat_word("and")) {
      auto right = parse_equality(depth + 1);
      if (!right) return nullptr;
      left = binary(Kind::op_and, std::move(left), std::move(right));
    }
    if (failed()) return nullptr;
    return left;
  }
  std::unique_ptr<QueryNode> parse_equality(int depth) {
    auto left = parse_relational(depth + 1);
    while (left) {
      Kind kind;
      if (eat("!="))
        kind = Kind::op_ne;
      else if (eat("="))
        kind = Kind::op_eq;
      else
        break;
      auto right = parse_relational(depth + 1);
      if (!right) return nullptr;
      left = binary(kind, std::move(left), std::move(right));
    }
    if (failed()) return nullptr;
    return left;
  }
  std::unique_ptr<QueryNode> parse_relational(int depth) {
    auto left = parse_unary(depth + 1);
    while (left) {
      Kind kind;
      if (eat("<="))
        kind = Kind::op_le;
      else if (eat(">="))
        kind = Kind::op_ge;
      else if (eat("<"))
        kind = Kind::op_lt;
      else if (eat(">"))
        kind = Kind::op_gt;
      else
        break;
      auto right = parse_unary(depth + 1);
      if (!right) return nullptr;
      left = binary(kind, std::move(left), std::move(right));
    }
    if (failed()) return nullptr;
    return left;
  }
  std::unique_ptr<QueryNode> parse_unary(int depth) {
    if (depth > kMaxDepth) return nullptr;
    if (eat("-")) {
      auto inner = parse_unary(depth + 1);
      if (!inner) return nullptr;
      auto n = std::make_unique<QueryNode>();
      n->kind = Kind::negate;
      n->args.push_back(std::move(inner));
      return n;
    }
    return parse_primary(depth + 1);
  }
  std::unique_ptr<QueryNode> parse_primary(int depth) {
    if (depth > kMaxDepth) return nullptr;
    skip_ws();
    if (pos_ >= s_.size()) return nullptr;
    char c = s_[pos_];
    if (c == '(') {
      ++pos_;
      auto inner = parse_or(depth + 1);
      if (!inner || !eat(")")) return nullptr;
      return inner;
    }
    if (c == '\'' || c == '"') {
      auto end = s_.find(c, pos_ + 1);
      if (end == std::string_view::npos) return nullptr;
      auto n = std::make_unique<QueryNode>();
      n->kind = Kind::literal;
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
      n->kind = Kind::number;
      std::from_chars(text.data(), text.data() + text.size(), n->number);
      return n;
    }
    if (!is_name_start(c)) return nullptr;
    auto name = read_name();
    skip_ws();
    if (pos_ < s_.size() && s_[pos_] == '(') {
      ++pos_;
      auto n = std::make_unique<QueryNode>();
      n->kind = Kind::call;
      n->text = std::move(name);
      if (!eat(")")) {
        do {
          auto arg = parse_or(depth + 1);
          if (!arg) return nullptr;
          n->args.push_back(std::move(arg));
        } while (eat(","));
        if (!eat(")")) return nullptr;
      }
      return check_call(std::move(n));
    }
    auto n = std::make_unique<QueryNode>();
    n->kind = Kind::path;
    n->steps.push_back(std::move(name));
    while (true) {
      auto save = pos_;
      skip_ws();
      if (pos_ < s_.size() && s_[pos_] == '/') {
        ++pos_;
        skip_ws();
        if (pos_ >= s_.size() || !is_name_start(s_[pos_])) return nullptr;
        n->steps.push_back(read_name());
      } else {
        pos_ = save;
        break;
      }
    }
    return n;
  }
  std::string read_name() {
    auto start = pos_;
    while (pos_ < s_.size() && is_name_char(s_[pos_])) ++pos_;
    return std::string(s_.substr(start, pos_ - start));
  }
  static std::unique_ptr<QueryNode> check_call(std::unique_ptr<QueryNode> n) {
    const auto arity = n->args.size();
    const auto &f = n->text;
    bool ok =
        ((f == "true" || f == "false") && arity == 0) ||
        ((f == "not" || f == "boolean" || f == "number" || f == "string-length") && arity == 1) ||
        (f == "string" && arity == 1) || ((f == "starts-with" || f == "contains") && arity == 2);
    return ok ? std::move(n) : nullptr;
  }

  bool failed() const { return operators_ > kMaxOperators; }

  std::string_view s_;
  std::size_t pos_ = 0;
  int operators_ = 0;
};

// Concatenated text of all descendants, walked without recursion.
std::string string_value(pugi::xml_node node) {
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

double string_to_number(std::string_view s) {
  s = trim(s);
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

std::string number_to_string(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  if (d == std::floor(d) && std::fabs(d) < 1e15) return std::to_string(static_cast<long long>(d));
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

std::string to_string(const Value &v) {
  if (auto ns = std::get_if<NodeSet>(&v))
    return ns->empty() ? std::string() : string_value(ns->front());
  if (auto s = std::get_if<std::string>(&v)) return *s;
  if (auto d = std::get_if<double>(&v)) return number_to_string(*d);
  return std::get<bool>(v) ? "true" : "false";
}
double to_number(const Value &v) {
  if (auto d = std::get_if<double>(&v)) return *d;
  if (auto b = std::get_if<bool>(&v)) return *b ? 1.0 : 0.0;
  return string_to_number(to_string(v));
}
bool to_bool(const Value &v) {
  if (auto ns = std::get_if<NodeSet>(&v)) return !ns->empty();
  if (auto s = std::get_if<std::string>(&v)) return !s->empty();
  if (auto d = std::get_if<double>(&v)) return *d != 0.0 && !std::isnan(*d);
  return std::get<bool>(v);
}

bool compare_atoms(Kind op, const Value &a, const Value &b) {
  if (op == Kind::op_eq || op == Kind::op_ne) {
    bool eq;
    if (std::holds_alternative<bool>(a) || std::holds_alternative<bool>(b))
      eq = to_bool(a) == to_bool(b);
    else if (std::holds_alternative<double>(a) || std::holds_alternative<double>(b))
      eq = to_number(a) == to_number(b);
    else
      eq = to_string(a) == to_string(b);
    if (op == Kind::op_eq) return eq;
    // NaN != NaN is true in XPath as in IEEE.
    if (std::holds_alternative<double>(a) || std::holds_alternative<double>(b))
      return to_number(a) != to_number(b);
    return !eq;
  }
  double x = to_number(a), y = to_number(b);
  switch (op) {
    case Kind::op_lt:
      return x < y;
    case Kind::op_le:
      return x <= y;
    case Kind::op_gt:
      return x > y;
    default:
      return x >= y;
  }
}

bool compare(Kind op, const Value &a, const Value &b) {
  auto as = std::get_if<NodeSet>(&a);
  auto bs = std::get_if<NodeSet>(&b);
  if (as && std::holds_alternative<bool>(b)) return compare_atoms(op, Value(to_bool(a)), b);
  if (bs && std::holds_alternative<bool>(a)) return compare_atoms(op, a, Value(to_bool(b)));
  if (as && bs) {
    for (auto &x : *as)
      for (auto &y : *bs)
        if (compare_atoms(op, Value(string_value(x)), Value(string_value(y)))) return true;
    return false;
  }
  if (as) {
    for (auto &x : *as)
      if (compare_atoms(op, Value(string_value(x)), b)) return true;
    return false;
  }
  if (bs) {
    for (auto &y : *bs)
      if (compare_atoms(op, a, Value(string_value(y)))) return true;
    return false;
  }
  return compare_atoms(op, a, b);
}

Value evaluate(const QueryNode &n, pugi::xml_node context) {
  switch (n.kind) {
    case Kind::literal:
      return n.text;
    case Kind::number:
      return n.number;
    case Kind::negate:
      return -to_number(evaluate(*n.args[0], context));
    case Kind::path: {
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
    case Kind::op_or:
      return to_bool(evaluate(*n.args[0], context)) || to_bool(evaluate(*n.args[1], context));
    case Kind::op_and:
      return to_bool(evaluate(*n.args[0], context)) && to_bool(evaluate(*n.args[1], context));
    case Kind::call: {
      const auto &f = n.text;
      if (f == "true") return true;
      if (f == "false") return false;
      auto a = evaluate(*n.args[0], context);
      if (f == "not") return !to_bool(a);
      if (f == "boolean") return to_bool(a);
      if (f == "number") return to_number(a);
      if (f == "string") return to_string(a);
      if (f == "string-length") return static_cast<double>(to_string(a).size());
      auto b = to_string(evaluate(*n.args[1], context));
      auto s = to_string(a);
      if (f == "starts-with") return s.compare(0, b.size(), b) == 0;
      return s.find(b) != std::string::npos;
    }
    default:
      return compare(n.kind, evaluate(*n.args[0], context), evaluate(*n.args[1], context));
  }
}

std::string quote(std::string_view value) {
  // liblsl quotes with ' verbatim; a value holding ' can only be written with ".
  char q = value.find('\'') == std::string_view::npos ? '\'' : '"';
  return q + std::string(value) + q;
}

}  // namespace

Query Query::compile(std::string_view text) {
  Query q;
  if (text.size() > kMaxQueryLength) return q;
  auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) {
    q.valid_ = true;
    return q;
  }
  auto root = Parser(text).parse();
  if (!root) return q;
  q.root_ = std::shared_ptr<const QueryNode>(std::move(root));
  q.valid_ = true;
  return q;
}

bool Query::matches(const pugi::xml_node &info) const {
  if (!valid_) return false;
  if (!root_) return true;
  return to_bool(evaluate(*root_, info));
}

bool Query::matches(const StreamInfo &info) const {
  if (!valid_) return false;
  if (!root_) return true;
  pugi::xml_document doc;
  build_xml_document(info, doc, true);
  return matches(doc.child("info"));
}

std::string build_session_query(std::string_view session_id) {
  return "session_id=" + quote(session_id);
}

std::string build_byprop_query(std::string_view session_id, std::string_view prop,
                               std::string_view value) {
  return build_session_query(session_id) + " and " + std::string(prop) + "=" + quote(value);
}

std::string build_recovery_query(const StreamInfo &info) {
  std::string q = "channel_count=" + quote(std::to_string(info.channel_count));
  if (!info.name.empty()) q += " and name=" + quote(info.name);
  if (!info.type.empty()) q += " and type=" + quote(info.type);
  if (!info.source_id.empty()) q += " and source_id=" + quote(info.source_id);
  auto fmt = channel_format_name(info.channel_format);
  q += " and channel_format=" + quote(fmt ? fmt : "undefined");
  return q;
}

}  // namespace lsl::core
