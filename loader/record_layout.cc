#include "loader/record_layout.h"

#include <algorithm>
#include <charconv>
#include <set>

#include "common/run_error.h"
#include "loader/layout.h"
#include "matfile/mat_format.h"

namespace unf2mat {
namespace {

constexpr std::size_t kMatlabNameMax = 63;

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

// A dimension: a whole number from 1 to the largest a MAT-file holds.
std::optional<std::string> ParseDimension(std::string_view text,
                                          std::uint64_t* dim) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) {
        return c >= '0' && c <= '9';
      })) {
    return "dimension " + Quote(text) + " is not a whole number";
  }
  const auto [stop, error] =
      std::from_chars(text.data(), text.data() + text.size(), *dim);
  if (error != std::errc() || *dim > mat::kMaxDimension) {
    return "dimension " + std::string(text) + " is past " +
           std::to_string(mat::kMaxDimension);
  }
  if (*dim == 0) return std::string("a dimension of 0 holds nothing");
  return std::nullopt;
}

std::string TooLong() {
  return "the record would be longer than " + std::to_string(kMaxLayoutBytes) +
         " bytes, more than a MAT-file element holds";
}

std::optional<std::string> ParseField(std::string_view text, bool may_open,
                                      LayoutField* field) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return std::string("it is not NAME:TYPE or NAME:TYPE(D1,...)");
  }
  field->name = text.substr(0, colon);
  if (!field->skipped() && !IsMatlabName(field->name)) {
    return "name " + Quote(field->name) +
           " is not a letter, then letters, digits or underscores, at most " +
           std::to_string(kMatlabNameMax) + " in all";
  }
  std::string_view rest = text.substr(colon + 1);
  std::string_view type = rest.substr(0, rest.find('('));
  if (auto parsed = ParseValueType(type)) {
    field->type = *parsed;
  } else {
    return "type " + Quote(type) + " is not real4, real8, int4 or int8";
  }
  rest.remove_prefix(type.size());
  if (rest.empty()) return std::nullopt;
  if (rest.size() < 2 || rest.back() != ')') {
    return std::string("its dimensions are not (D1,D2,...)");
  }
  const std::vector<std::string_view> dims =
      Split(rest.substr(1, rest.size() - 2), ',');
  for (std::size_t k = 0; k < dims.size(); ++k) {
    if (dims[k] == "*") {
      if (!may_open || k + 1 != dims.size()) {
        return std::string(
            "only the last dimension of the last field of --record may be "
            "'*'");
      }
      field->open = true;
      break;
    }
    std::uint64_t dim = 0;
    if (auto error = ParseDimension(dims[k], &dim)) return error;
    field->dims.push_back(dim);
    // Checked as it grows, so that the product cannot wrap.
    if (field->bytes() > kMaxLayoutBytes) return TooLong();
  }
  return std::nullopt;
}

}  // namespace

std::uint64_t LayoutField::values() const {
  std::uint64_t n = 1;
  for (std::uint64_t dim : dims) n *= dim;
  return n;
}

std::uint64_t RecordLayout::fixed_bytes() const {
  std::uint64_t bytes = 0;
  for (const LayoutField& field : fields) {
    if (!field.open) bytes += field.bytes();
  }
  return bytes;
}

std::uint64_t RecordLayout::step_bytes() const {
  return !fields.empty() && fields.back().open ? fields.back().bytes() : 0;
}

std::uint64_t RecordLayout::offset(std::size_t k) const {
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < k; ++i) bytes += fields[i].bytes();
  return bytes;
}

std::optional<std::string> ParseLayout(std::string_view text, bool allow_open,
                                       RecordLayout* layout) {
  layout->fields.clear();
  const std::vector<std::string_view> parts = Split(text, ',');
  std::set<std::string, std::less<>> names;
  std::uint64_t bytes = 0;
  // Commas also part dimensions: fields are rejoined until their brackets
  // close.
  std::string pending;
  std::size_t number = 0;
  for (std::size_t k = 0; k < parts.size(); ++k) {
    pending += parts[k];
    if (std::count(pending.begin(), pending.end(), '(') >
            std::count(pending.begin(), pending.end(), ')') &&
        k + 1 < parts.size()) {
      pending += ',';
      continue;
    }
    ++number;
    LayoutField field;
    const bool last = k + 1 == parts.size();
    auto error = ParseField(pending, allow_open && last, &field);
    if (!error && !field.skipped() && !names.insert(field.name).second) {
      error = "name " + Quote(field.name) + " is given twice";
    }
    if (!error) {
      bytes += field.bytes();
      if (bytes > kMaxLayoutBytes) error = TooLong();
    }
    if (error) {
      return "field " + std::to_string(number) + " (" + Quote(pending) +
             ") of layout " + Quote(text) + ": " + *error;
    }
    layout->fields.push_back(std::move(field));
    pending.clear();
  }
  if (std::all_of(layout->fields.begin(), layout->fields.end(),
                  [](const LayoutField& f) { return f.skipped(); })) {
    return "layout " + Quote(text) + " keeps no field";
  }
  return std::nullopt;
}

std::optional<std::string> ParseDims(std::string_view text,
                                     std::vector<std::uint64_t>* dims) {
  dims->clear();
  std::uint64_t values = 1;
  for (std::string_view part : Split(text, 'x')) {
    std::uint64_t dim = 0;
    if (auto error = ParseDimension(part, &dim)) {
      return "--dims " + Quote(text) + ": " + *error;
    }
    values *= dim;
    if (values > kMaxLayoutBytes) {
      return "--dims " + Quote(text) +
             ": more values than a MAT-file "
             "element holds";
    }
    dims->push_back(dim);
  }
  return std::nullopt;
}

std::optional<ValueType> ParseValueType(std::string_view text) {
  for (ValueType type : kValueTypes) {
    if (text == ValueTypeName(type)) return type;
  }
  return std::nullopt;
}

namespace {

Expr Literal(std::uint64_t n) {
  Expr e;
  e.kind = Expr::Kind::kNumber;
  e.number = static_cast<std::int64_t>(n);
  e.text = std::to_string(n);
  return e;
}

// A record statement of `layout`'s fields, each a new variable.
Statement RecordOf(const RecordLayout& fields, Layout* layout) {
  Statement record;
  record.kind = Statement::Kind::kRecord;
  record.id = layout->statements++;
  for (const LayoutField& field : fields.fields) {
    FieldDecl decl;
    decl.name = field.name;
    decl.type = field.type;
    for (std::uint64_t dim : field.dims)
      decl.dims.push_back({false, Literal(dim)});
    if (field.open) decl.dims.push_back({true, Literal(0)});
    if (!decl.skipped()) {
      decl.variable = static_cast<std::uint32_t>(layout->variables.size());
      LayoutVariable variable;
      variable.name = decl.name;
      variable.type = decl.type;
      variable.rank = decl.dims.size();
      variable.literal_dims = field.dims;
      variable.branches = {{}};  // in no either: always written
      if (field.open) variable.literal_dims.push_back(0);
      layout->variables.push_back(std::move(variable));
    }
    record.fields.push_back(std::move(decl));
  }
  return record;
}

}  // namespace

Layout OptionsLayout(std::uint64_t skip,
                     const std::optional<RecordLayout>& header,
                     const std::optional<RecordLayout>& record,
                     ValueType type) {
  Layout layout;
  layout.origin = "the layout the options give";
  if (skip > 0) {
    Statement statement;
    statement.kind = Statement::Kind::kSkip;
    statement.id = layout.statements++;
    statement.count = Literal(skip);
    layout.body.push_back(std::move(statement));
  }
  if (header) layout.body.push_back(RecordOf(*header, &layout));
  const std::size_t header_variables = layout.variables.size();
  Statement repeat;
  repeat.kind = Statement::Kind::kRepeat;
  repeat.id = layout.statements++;
  RecordLayout rows;
  if (record) {
    rows = *record;
  } else {
    rows.fields.push_back({"", type, {}, true});
    layout.rows = static_cast<std::uint32_t>(layout.variables.size());
  }
  repeat.blocks.push_back({RecordOf(rows, &layout)});
  // Every variable is read within the group, but the header's.
  for (std::size_t v = header_variables; v < layout.variables.size(); ++v) {
    layout.variables[v].groups = {repeat.id};
  }
  layout.body.push_back(std::move(repeat));
  return layout;
}

}  // namespace unf2mat
