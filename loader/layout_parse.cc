// The text of a layout:
//
//   layout    := statement*            (one a line, or several split by ';')
//   statement := 'record' item (',' item)*
//              | 'skip' [expr]
//              | 'repeat' [expr | NAME '=' expr ',' expr] '{' layout '}'
//              | 'either' '{' layout '}' ('or' '{' layout '}')+
//   item      := NAME (',' NAME)* ':' type ['(' dim (',' dim)* ')']
//   type      := real4 | real8 | int1 | int2 | int4 | int8 | complex8
//              | complex16 | logical4 | char '(' expr ')'
//   dim       := expr | '*'
//   expr      := integers, NAME, NAME(expr, ...), + - * / and brackets
//
// '#' starts a comment; a line that ends in ',' or inside brackets goes on.
// A name is a field read before (an integer one, in an expression) or the
// index of an enclosing group.
#include <algorithm>
#include <cctype>
#include <charconv>
#include <functional>
#include <map>
#include <set>
#include <utility>

#include "common/run_error.h"
#include "loader/layout.h"
#include "matfile/mat_format.h"

namespace unf2mat {
namespace {

constexpr std::size_t kMatlabNameMax = 63;
// Bounds that keep a hostile layout's walk and messages small.
constexpr int kMaxDepth = 32;
constexpr std::size_t kMaxStatements = 4096;

struct Token {
  enum class Kind : std::uint8_t { kName, kNumber, kPunct, kEnd, kEndOfText };
  Kind kind = Kind::kEndOfText;
  std::string text;
  TextPlace at;
};

// Splits the text into tokens; line ends become kEnd, except where a line
// goes on.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // False, with *error, on a character no token starts with.
  bool Run(std::vector<Token>* tokens, std::string* error, TextPlace* at) {
    int depth = 0;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      const TextPlace here{line_, column_};
      if (c == '#') {
        while (pos_ < text_.size() && text_[pos_] != '\n') Advance();
      } else if (c == '\n' || c == ';') {
        const bool goes_on =
            c == '\n' &&
            (depth > 0 || (!tokens->empty() && tokens->back().text == ","));
        if (!goes_on) tokens->push_back({Token::Kind::kEnd, "", here});
        Advance();
      } else if (c == ' ' || c == '\t' || c == '\r') {
        Advance();
      } else if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
        std::string word;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) ||
                text_[pos_] == '_')) {
          word += text_[pos_];
          Advance();
        }
        tokens->push_back({Token::Kind::kName, word, here});
      } else if (std::isdigit(static_cast<unsigned char>(c))) {
        std::string digits;
        while (pos_ < text_.size() &&
               std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
          digits += text_[pos_];
          Advance();
        }
        tokens->push_back({Token::Kind::kNumber, digits, here});
      } else if (std::string_view("(),:={}+-*/").find(c) !=
                 std::string_view::npos) {
        if (c == '(') ++depth;
        if (c == ')' && depth > 0) --depth;
        tokens->push_back({Token::Kind::kPunct, std::string(1, c), here});
        Advance();
      } else {
        *at = here;
        *error =
            "unexpected character " + Quote(std::string_view(&text_[pos_], 1));
        return false;
      }
    }
    tokens->push_back({Token::Kind::kEnd, "", {line_, column_}});
    tokens->push_back({Token::Kind::kEndOfText, "", {line_, column_}});
    return true;
  }

 private:
  void Advance() {
    if (text_[pos_] == '\n') {
      ++line_;
      column_ = 1;
    } else {
      ++column_;
    }
    ++pos_;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1, column_ = 1;
};

// Thrown within the parser only: a usage error at a place in the text.
struct ParseError {
  TextPlace at;
  std::string message;
};

// What is in scope where a statement is parsed.
struct Scope {
  std::vector<std::uint32_t> groups;   // enclosing repeats, outermost first
  std::vector<std::uint32_t> indices;  // their indices, where named
  // The either branches the statement is in, as (either id, branch).
  std::vector<std::pair<std::uint32_t, std::size_t>> branches;
};

class Parser {
 public:
  Parser(std::vector<Token> tokens, Layout* layout)
      : tokens_(std::move(tokens)), layout_(*layout) {}

  void ParseAll() {
    Scope scope;
    layout_.body = ParseBlock(scope, /*closed_by_brace=*/false, 0);
    if (layout_.variables.empty()) {
      throw ParseError{{1, 1}, "the layout keeps no field"};
    }
    CheckSizeFields(layout_.body);
  }

  // A field that gives a size is an integer in every branch that reads it.
  void CheckSizeFields(const Block& block) const {
    for (const Statement& s : block) {
      for (const Block& inner : s.blocks) CheckSizeFields(inner);
      for (const FieldDecl& field : s.fields) {
        if (!field.skipped() && layout_.variables[field.variable].sized_by &&
            (!IsInteger(field.type) || field.complex)) {
          throw ParseError{field.at,
                           "field " + Quote(field.name) + " is " +
                               std::string(ValueTypeName(field.type)) +
                               " here, but gives a size or a count: it must "
                               "be an integer"};
        }
      }
    }
  }

 private:
  const Token& Peek() const { return tokens_[pos_]; }
  const Token& Take() {
    return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_];
  }
  bool IsPunct(std::string_view p) const {
    return Peek().kind == Token::Kind::kPunct && Peek().text == p;
  }
  bool IsWord(std::string_view w) const {
    return Peek().kind == Token::Kind::kName && Peek().text == w;
  }
  [[noreturn]] void Fail(const Token& at, std::string message) const {
    throw ParseError{at.at, std::move(message)};
  }
  std::string Shown(const Token& token) const {
    switch (token.kind) {
      case Token::Kind::kEnd:
        return "the end of the line";
      case Token::Kind::kEndOfText:
        return "the end of the layout";
      default:
        return Quote(token.text);
    }
  }
  void Expect(std::string_view punct, std::string_view what) {
    if (!IsPunct(punct)) {
      Fail(Peek(), "expected " + std::string(what) + ", not " + Shown(Peek()));
    }
    Take();
  }
  void SkipEnds() {
    while (Peek().kind == Token::Kind::kEnd) Take();
  }

  Block ParseBlock(Scope& scope, bool closed_by_brace, int depth) {
    if (depth > kMaxDepth) {
      Fail(Peek(),
           "groups nest more than " + std::to_string(kMaxDepth) + " deep");
    }
    Block block;
    for (;;) {
      SkipEnds();
      if (Peek().kind == Token::Kind::kEndOfText) {
        if (closed_by_brace) Fail(Peek(), "a '{' is not closed by a '}'");
        return block;
      }
      if (IsPunct("}")) {
        if (!closed_by_brace) Fail(Peek(), "a '}' closes no '{'");
        return block;
      }
      block.push_back(ParseStatement(scope, depth));
      if (Peek().kind != Token::Kind::kEnd && !IsPunct("}")) {
        Fail(Peek(), "expected the end of the statement, not " + Shown(Peek()));
      }
    }
  }

  Statement ParseStatement(Scope& scope, int depth) {
    if (++layout_.statements > kMaxStatements) {
      Fail(Peek(), "the layout has more than " +
                       std::to_string(kMaxStatements) + " statements");
    }
    Statement statement;
    statement.id = layout_.statements - 1;
    statement.at = Peek().at;
    const Token keyword = Take();
    if (keyword.kind != Token::Kind::kName) {
      Fail(keyword,
           "expected record, skip, repeat or either, not " + Shown(keyword));
    }
    if (keyword.text == "record") {
      statement.kind = Statement::Kind::kRecord;
      ParseFields(scope, &statement);
    } else if (keyword.text == "skip") {
      statement.kind = Statement::Kind::kSkip;
      if (Peek().kind != Token::Kind::kEnd && !IsPunct("}")) {
        statement.count = ParseExpr(scope);
      }
    } else if (keyword.text == "repeat") {
      ParseRepeat(scope, depth, &statement);
    } else if (keyword.text == "either") {
      ParseEither(scope, depth, &statement);
    } else {
      Fail(keyword,
           "expected record, skip, repeat or either, not " + Shown(keyword));
    }
    return statement;
  }

  void ParseRepeat(Scope& scope, int depth, Statement* statement) {
    statement->kind = Statement::Kind::kRepeat;
    std::optional<std::uint32_t> index;
    if (Peek().kind == Token::Kind::kName && tokens_[pos_ + 1].text == "=") {
      const Token name = Take();
      Take();
      if (!IsMatlabName(name.text)) Fail(name, "an index is a name");
      if (FindIndex(scope, name.text)) {
        Fail(name, "index " + Quote(name.text) +
                       " is in use by a group "
                       "this one is in");
      }
      statement->first = ParseExpr(scope);
      Expect(",", "',' and the last repetition");
      statement->count = ParseExpr(scope);
      index = static_cast<std::uint32_t>(layout_.indices.size());
      layout_.indices.push_back(name.text);
      statement->index = index;
    } else if (!IsPunct("{")) {
      statement->count = ParseExpr(scope);
    }
    Expect("{", "'{'");
    scope.groups.push_back(statement->id);
    if (index) scope.indices.push_back(*index);
    statement->blocks.push_back(ParseBlock(scope, true, depth + 1));
    scope.groups.pop_back();
    if (index) scope.indices.pop_back();
    const Token close = Take();  // '}'
    if (!statement->count && !ReadsRecords(statement->blocks[0])) {
      Fail(close,
           "a group that repeats until the file ends must read a "
           "record");
    }
  }

  void ParseEither(Scope& scope, int depth, Statement* statement) {
    statement->kind = Statement::Kind::kEither;
    for (;;) {
      Expect("{", "'{'");
      scope.branches.emplace_back(statement->id, statement->blocks.size());
      const Token opening = Peek();
      Block branch = ParseBlock(scope, true, depth + 1);
      scope.branches.pop_back();
      if (branch.empty() || branch.front().kind != Statement::Kind::kRecord) {
        Fail(opening,
             "each branch of either starts with a record, whose "
             "length chooses it");
      }
      statement->blocks.push_back(std::move(branch));
      Take();  // '}'
      // 'or' may start the next line.
      std::size_t after = pos_;
      while (tokens_[after].kind == Token::Kind::kEnd) ++after;
      if (tokens_[after].kind != Token::Kind::kName ||
          tokens_[after].text != "or") {
        break;
      }
      pos_ = after + 1;
    }
    if (statement->blocks.size() < 2) {
      Fail(Peek(), "either needs an 'or' and a second branch");
    }
  }

  static bool ReadsRecords(const Block& block) {
    for (const Statement& s : block) {
      if (s.kind == Statement::Kind::kRecord ||
          s.kind == Statement::Kind::kSkip) {
        return true;
      }
      if (s.kind == Statement::Kind::kEither) return true;
      // A count read from the file may be 0: the walk says so then.
      if (s.kind == Statement::Kind::kRepeat && ReadsRecords(s.blocks[0])) {
        return true;
      }
    }
    return false;
  }

  void ParseFields(Scope& scope, Statement* statement) {
    std::set<std::string> in_record;
    for (;;) {
      std::vector<Token> names;
      for (;;) {
        const Token name = Take();
        if (name.kind != Token::Kind::kName) {
          Fail(name, "expected a field's name, not " + Shown(name));
        }
        names.push_back(name);
        if (!IsPunct(",")) break;
        Take();
      }
      Expect(":", "':' and the fields' type");
      FieldDecl proto;
      ParseType(scope, &proto);
      if (IsPunct("(")) {
        Take();
        for (;;) {
          Dim dim;
          if (IsPunct("*") && (tokens_[pos_ + 1].text == ")" ||
                               tokens_[pos_ + 1].text == ",")) {
            dim.open = true;
            dim.size.at = Take().at;
            dim.size.text = "*";
          } else {
            dim.size = ParseExpr(scope);
          }
          proto.dims.push_back(std::move(dim));
          if (IsPunct(")")) break;
          Expect(",", "',' or ')'");
        }
        Take();
      }
      for (const Token& name : names) {
        FieldDecl field = proto;
        field.name = name.text;
        field.at = name.at;
        if (!field.skipped()) {
          if (!IsMatlabName(field.name)) {
            Fail(name, "name " + Quote(field.name) +
                           " is not a letter, then letters, digits or "
                           "underscores, at most " +
                           std::to_string(kMatlabNameMax) + " in all");
          }
          if (!in_record.insert(field.name).second) {
            Fail(name,
                 "name " + Quote(field.name) + " is given twice in one record");
          }
          field.variable = Declare(scope, field, name);
        }
        statement->fields.push_back(std::move(field));
      }
      if (!IsPunct(",")) break;
      Take();
    }
    for (std::size_t k = 0; k + 1 < statement->fields.size(); ++k) {
      if (statement->fields[k].open()) {
        throw ParseError{statement->fields[k].dims.back().size.at,
                         "only the last field of a record may have a '*' "
                         "dimension"};
      }
    }
    for (const FieldDecl& field : statement->fields) {
      for (std::size_t d = 0; d + 1 < field.dims.size(); ++d) {
        if (field.dims[d].open) {
          throw ParseError{field.dims[d].size.at,
                           "only the last dimension may be '*'"};
        }
      }
    }
  }

  void ParseType(Scope& scope, FieldDecl* field) {
    const Token type = Take();
    if (type.kind == Token::Kind::kName && type.text == "char") {
      field->type = ValueType::kChar1;
      Expect("(", "'(' and the length of each string");
      field->length = ParseExpr(scope);
      Expect(")", "')'");
      return;
    }
    std::optional<ValueType> parsed;
    if (type.kind == Token::Kind::kName) {
      parsed = ParseFieldType(type.text, &field->complex);
    }
    if (!parsed) {
      Fail(type, "type " + Shown(type) +
                     " is not real4, real8, int1, int2, int4, int8, "
                     "complex8, complex16, logical4 or char(N)");
    }
    field->type = *parsed;
  }

  // The variable a field of this name is; a second field of one name is
  // allowed only in another branch of an either.
  std::uint32_t Declare(const Scope& scope, const FieldDecl& field,
                        const Token& name) {
    auto found = declared_.find(field.name);
    if (found == declared_.end()) {
      LayoutVariable variable;
      variable.name = field.name;
      variable.type = field.type;
      variable.complex = field.complex;
      variable.is_char = field.type == ValueType::kChar1;
      variable.rank = field.dims.size();
      variable.groups = scope.groups;
      variable.at = field.at;
      for (const Dim& dim : field.dims) {
        variable.literal_dims.push_back(
            !dim.open && dim.size.kind == Expr::Kind::kNumber
                ? static_cast<std::uint64_t>(dim.size.number)
                : 0);
      }
      if (field.length && field.length->kind == Expr::Kind::kNumber) {
        variable.literal_length =
            static_cast<std::uint64_t>(field.length->number);
      }
      variable.branches.push_back(scope.branches);
      layout_.variables.push_back(std::move(variable));
      const auto id = static_cast<std::uint32_t>(layout_.variables.size() - 1);
      ranks_.push_back(field.dims.size());
      declared_[field.name] = {id, scope.branches};
      return id;
    }
    const auto& [id, branches] = found->second;
    // Two fields of one name read in one pass of the layout would make one
    // variable of two things: only branches of an either exclude each other.
    bool exclusive = false;
    for (std::size_t k = 0;
         k < std::min(branches.size(), scope.branches.size()); ++k) {
      if (branches[k].first != scope.branches[k].first) break;
      if (branches[k].second != scope.branches[k].second) {
        exclusive = true;
        break;
      }
    }
    if (!exclusive) {
      Fail(name, "name " + Quote(field.name) + " is given twice (line " +
                     std::to_string(layout_.variables[id].at.line) +
                     "); only another branch of an either may read it again");
    }
    LayoutVariable& variable = layout_.variables[id];
    if (variable.is_char != (field.type == ValueType::kChar1)) {
      Fail(name, "field " + Quote(field.name) +
                     (variable.is_char ? " is not" : " is") +
                     " characters, unlike the field of that name on line " +
                     std::to_string(variable.at.line));
    }
    // Subscripts after it count its dimensions, as this field has them.
    ranks_[id] = field.dims.size();
    variable.branches.push_back(scope.branches);
    return id;
  }

  std::optional<std::uint32_t> FindIndex(const Scope& scope,
                                         std::string_view name) const {
    for (std::uint32_t index : scope.indices) {
      if (layout_.indices[index] == name) return index;
    }
    return std::nullopt;
  }

  static Expr Binary(Expr::Kind kind, Expr left, Expr right) {
    Expr node;
    node.kind = kind;
    node.at = left.at;
    node.args.push_back(std::move(left));
    node.args.push_back(std::move(right));
    return node;
  }

  // expr := term (('+'|'-') term)*
  Expr ParseExpr(Scope& scope) {
    const std::size_t start = pos_;
    Expr left = ParseTerm(scope);
    while (IsPunct("+") || IsPunct("-")) {
      const Token op = Take();
      left = Binary(op.text == "+" ? Expr::Kind::kAdd : Expr::Kind::kSubtract,
                    std::move(left), ParseTerm(scope));
    }
    left.text = Spell(start, pos_);
    return left;
  }

  Expr ParseTerm(Scope& scope) {
    Expr left = ParseFactor(scope);
    while ((IsPunct("*") || IsPunct("/")) && tokens_[pos_ + 1].text != ")" &&
           tokens_[pos_ + 1].text != ",") {
      const Token op = Take();
      left =
          Binary(op.text == "*" ? Expr::Kind::kMultiply : Expr::Kind::kDivide,
                 std::move(left), ParseFactor(scope));
    }
    return left;
  }

  Expr ParseFactor(Scope& scope) {
    const std::size_t start = pos_;
    const Token token = Take();
    Expr node;
    node.at = token.at;
    if (token.kind == Token::Kind::kNumber) {
      node.kind = Expr::Kind::kNumber;
      const auto [end, error] =
          std::from_chars(token.text.data(),
                          token.text.data() + token.text.size(), node.number);
      if (error != std::errc() || node.number > std::int64_t{1} << 53) {
        Fail(token, "number " + token.text + " is too large");
      }
    } else if (token.kind == Token::Kind::kPunct && token.text == "(") {
      node = ParseExpr(scope);
      Expect(")", "')'");
    } else if (token.kind == Token::Kind::kPunct && token.text == "-") {
      node.kind = Expr::Kind::kNegate;
      node.args.push_back(ParseFactor(scope));
    } else if (token.kind == Token::Kind::kName) {
      ParseReference(scope, token, &node);
    } else {
      Fail(token, "expected a number or a name, not " + Shown(token));
    }
    node.text = Spell(start, pos_);
    return node;
  }

  void ParseReference(Scope& scope, const Token& token, Expr* node) {
    if (auto index = FindIndex(scope, token.text)) {
      node->kind = Expr::Kind::kIndex;
      node->ref = *index;
      return;
    }
    auto found = declared_.find(token.text);
    if (found == declared_.end()) {
      Fail(token, "no field " + Quote(token.text) +
                      " is read before this, nor is it a group's index");
    }
    LayoutVariable& variable = layout_.variables[found->second.first];
    if (variable.is_char || !IsInteger(variable.type) || variable.complex) {
      Fail(token, "field " + Quote(token.text) + " is " +
                      std::string(ValueTypeName(variable.type)) +
                      ": a size or a count comes from an integer field");
    }
    node->kind = Expr::Kind::kField;
    node->ref = found->second.first;
    variable.sized_by = true;
    if (IsPunct("(")) {
      Take();
      for (;;) {
        node->args.push_back(ParseExpr(scope));
        if (IsPunct(")")) break;
        Expect(",", "',' or ')'");
      }
      Take();
    }
    const std::size_t n = node->args.size();
    const std::size_t rank = ranks_[node->ref];
    if (n == rank + 1) {
      node->picks_read = true;
      variable.keep_all_values = true;
    } else if (n != rank) {
      Fail(token, "field " + Quote(token.text) + " has " +
                      std::to_string(rank) + " dimensions: give " +
                      std::to_string(rank) +
                      " subscripts for its last value read, or one more "
                      "for which value read");
    }
  }

  std::string Spell(std::size_t from, std::size_t to) const {
    std::string text;
    for (std::size_t k = from; k < to; ++k) text += tokens_[k].text;
    return text;
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  Layout& layout_;
  std::vector<std::size_t> ranks_;  // of each variable's last field so far
  // Each name's variable, and the branches its first field is in.
  std::map<std::string,
           std::pair<std::uint32_t,
                     std::vector<std::pair<std::uint32_t, std::size_t>>>>
      declared_;
};

}  // namespace

LayoutOrError ParseLayoutText(std::string_view text, std::string origin) {
  LayoutOrError result;
  Layout layout;
  layout.origin = std::move(origin);
  auto fail = [&](TextPlace at, const std::string& message) {
    result.error = layout.origin + ", line " + std::to_string(at.line) +
                   ", column " + std::to_string(at.column) + ": " + message;
    return result;
  };
  std::vector<Token> tokens;
  std::string error;
  TextPlace at;
  if (!Lexer(text).Run(&tokens, &error, &at)) return fail(at, error);
  try {
    Parser(std::move(tokens), &layout).ParseAll();
  } catch (const ParseError& e) {
    return fail(e.at, e.message);
  }
  result.layout = std::move(layout);
  return result;
}

std::vector<const Statement*> Layout::ById() const {
  std::vector<const Statement*> statements(this->statements, nullptr);
  std::function<void(const Block&)> visit = [&](const Block& block) {
    for (const Statement& s : block) {
      statements[s.id] = &s;
      for (const Block& inner : s.blocks) visit(inner);
    }
  };
  visit(body);
  return statements;
}

std::optional<ValueType> ParseFieldType(std::string_view text, bool* complex) {
  static constexpr std::pair<std::string_view, ValueType> kTypes[] = {
      {"real4", ValueType::kReal4},      {"real8", ValueType::kReal8},
      {"int1", ValueType::kInt1},        {"int2", ValueType::kInt2},
      {"int4", ValueType::kInt4},        {"int8", ValueType::kInt8},
      {"logical4", ValueType::kLogical4}};
  *complex = false;
  if (text == "complex8" || text == "complex16") {
    *complex = true;
    return text == "complex8" ? ValueType::kReal4 : ValueType::kReal8;
  }
  for (const auto& [name, type] : kTypes) {
    if (text == name) return type;
  }
  return std::nullopt;
}

bool IsMatlabName(std::string_view name) {
  auto is_letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  };
  auto is_name_char = [&](char c) {
    return is_letter(c) || (c >= '0' && c <= '9') || c == '_';
  };
  return !name.empty() && name.size() <= kMatlabNameMax &&
         is_letter(name.front()) &&
         std::all_of(name.begin(), name.end(), is_name_char);
}

}  // namespace unf2mat
