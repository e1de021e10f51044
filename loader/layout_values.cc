#include "loader/layout_values.h"

#include <bit>
#include <cstring>

#include "common/run_error.h"

namespace unf2mat {
namespace {

std::int64_t DecodeInteger(const char* src, std::size_t size, bool swapped) {
  std::uint64_t raw = 0;
  if (!swapped) {
    std::memcpy(&raw, src, size);
    if constexpr (std::endian::native == std::endian::big)
      raw >>= 64 - 8 * size;
  } else {
    for (std::size_t k = 0; k < size; ++k) {
      raw |= std::uint64_t{static_cast<unsigned char>(src[k])}
             << (8 * (std::endian::native == std::endian::little ? size - 1 - k
                                                                 : k));
    }
  }
  // Sign-extended from its own width.
  const int shift = static_cast<int>(64 - 8 * size);
  return static_cast<std::int64_t>(raw << shift) >> shift;
}

}  // namespace

bool LayoutValues::Hold(std::uint32_t variable, ValueType type,
                        const std::vector<std::uint64_t>& dims,
                        const char* bytes, bool swapped, std::uint64_t record) {
  std::uint64_t n = 1;
  for (std::uint64_t d : dims) n *= d;
  const bool keep_all = layout_->variables[variable].keep_all_values;
  if (n > kMaxHeld || (keep_all && kept_ + n > kMaxHeld)) return false;
  kept_ += keep_all ? n : 0;
  const std::size_t size = ValueSize(type);
  Held& held = held_[variable];
  held.has = true;
  held.record = record;
  held.last.resize(static_cast<std::size_t>(n));
  for (std::size_t k = 0; k < n; ++k) {
    held.last[k] = DecodeInteger(bytes + k * size, size, swapped);
  }
  held.last_dims = dims;
  if (keep_all) {
    held.starts.push_back(held.all.size());
    held.all.insert(held.all.end(), held.last.begin(), held.last.end());
    held.dims.push_back(dims);
  }
  return true;
}

void LayoutValues::SetIndex(std::uint32_t index, std::int64_t value) {
  if (indices_.size() <= index) indices_.resize(index + 1);
  indices_[index] = value;
}

std::optional<std::int64_t> LayoutValues::Eval(const Expr& e,
                                               std::string* why) const {
  std::int64_t out = 0;
  switch (e.kind) {
    case Expr::Kind::kNumber:
      return e.number;
    case Expr::Kind::kIndex:
      return indices_[e.ref];
    case Expr::Kind::kField:
      return FieldValue(e, why);
    case Expr::Kind::kNegate: {
      const auto a = Eval(e.args[0], why);
      if (!a) return std::nullopt;
      if (__builtin_sub_overflow(std::int64_t{0}, *a, &out)) break;
      return out;
    }
    case Expr::Kind::kAdd:
    case Expr::Kind::kSubtract:
    case Expr::Kind::kMultiply:
    case Expr::Kind::kDivide: {
      const auto a = Eval(e.args[0], why);
      const auto b = a ? Eval(e.args[1], why) : std::nullopt;
      if (!b) return std::nullopt;
      bool overflow = false;
      if (e.kind == Expr::Kind::kAdd) {
        overflow = __builtin_add_overflow(*a, *b, &out);
      } else if (e.kind == Expr::Kind::kSubtract) {
        overflow = __builtin_sub_overflow(*a, *b, &out);
      } else if (e.kind == Expr::Kind::kMultiply) {
        overflow = __builtin_mul_overflow(*a, *b, &out);
      } else if (*b == 0) {
        *why = e.text + " divides by 0";
        return std::nullopt;
      } else {
        overflow = *a == INT64_MIN && *b == -1;
        if (!overflow) out = *a / *b;
      }
      if (overflow) break;
      return out;
    }
  }
  *why = e.text + " overflows";
  return std::nullopt;
}

std::optional<std::int64_t> LayoutValues::FieldValue(const Expr& e,
                                                     std::string* why) const {
  const LayoutVariable& variable = layout_->variables[e.ref];
  const Held& held = held_[e.ref];
  if (!held.has) {
    *why = "field " + Quote(variable.name) + " has not been read yet";
    return std::nullopt;
  }
  std::vector<std::int64_t> subscripts;
  for (const Expr& arg : e.args) {
    const auto s = Eval(arg, why);
    if (!s) return std::nullopt;
    subscripts.push_back(*s);
  }
  const std::vector<std::int64_t>* values = &held.last;
  const std::vector<std::uint64_t>* dims = &held.last_dims;
  std::uint64_t start = 0;
  if (e.picks_read) {
    const std::int64_t k = subscripts.back();
    subscripts.pop_back();
    if (k < 1 || static_cast<std::uint64_t>(k) > held.starts.size()) {
      *why = e.text + " asks for value " + std::to_string(k) + " of " +
             Quote(variable.name) + ", which has been read " +
             std::to_string(held.starts.size()) + " times";
      return std::nullopt;
    }
    values = &held.all;
    dims = &held.dims[static_cast<std::size_t>(k - 1)];
    start = held.starts[static_cast<std::size_t>(k - 1)];
  }
  std::uint64_t linear = 0, stride = 1;
  for (std::size_t d = 0; d < subscripts.size(); ++d) {
    const std::int64_t s = subscripts[d];
    if (s < 1 || static_cast<std::uint64_t>(s) > (*dims)[d]) {
      *why = "subscript " + std::to_string(d + 1) + " of " + e.text + " is " +
             std::to_string(s) + ", outside 1 to " + std::to_string((*dims)[d]);
      return std::nullopt;
    }
    linear += static_cast<std::uint64_t>(s - 1) * stride;
    stride *= (*dims)[d];
  }
  return (*values)[static_cast<std::size_t>(start + linear)];
}

std::string LayoutValues::Sources(const Expr& e) const {
  std::string from;
  if (e.kind == Expr::Kind::kField) {
    from = Quote(layout_->variables[e.ref].name) + " of record " +
           std::to_string(held_[e.ref].record);
  }
  for (const Expr& arg : e.args) {
    const std::string more = Sources(arg);
    if (!more.empty()) from += (from.empty() ? "" : ", ") + more;
  }
  return from;
}

}  // namespace unf2mat
